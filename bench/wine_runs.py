"""The Windows programs under Wine, for bench/run --wine: kep-update.exe, and
the dialog program pressed by the Wine test driver. Uses the prefix, the COM7
mapping and the builds that scripts/test-windows prepares (run once if absent)."""
import os
import subprocess
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD = os.path.join(ROOT, "build", "windows")
PREFIX = os.path.join(BUILD, "wineprefix")
LINK = os.path.join(BUILD, "vcom7")
COM7 = "\\\\.\\com7"


def use_build(path):
    """Another Windows build folder, its prefix and COM7 link inside it."""
    global BUILD, PREFIX, LINK
    BUILD, PREFIX, LINK = path, os.path.join(path, "wineprefix"), os.path.join(path, "vcom7")


def wine_env(display):
    env = dict(os.environ, WINEPREFIX=PREFIX, WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=")
    env["DISPLAY"] = display
    return env


def start_display(workdir):
    path = os.path.join(workdir, "display")
    with open(path, "w") as out:
        fd = str(out.fileno())
        xvfb = subprocess.Popen(["Xvfb", "-displayfd", fd, "-screen", "0", "1024x768x24", "-nolisten", "tcp"],
                                pass_fds=(out.fileno(),), stderr=subprocess.DEVNULL)
    for _ in range(100):
        if os.path.getsize(path):
            break
        time.sleep(0.1)
    with open(path) as f:
        return xvfb, ":" + f.read().strip()


def timed(args, env, stdout, watch_peak_memory):
    proc = subprocess.Popen(args, env=env, stdin=subprocess.DEVNULL, stdout=stdout, stderr=subprocess.DEVNULL)
    peak = watch_peak_memory(proc.pid)
    _, status, usage = os.wait4(proc.pid, 0)
    return os.waitstatus_to_exitcode(status), usage, peak


def wine_figures(args, workdir, sim_target, watch_peak_memory):
    if not os.path.exists(os.path.join(PREFIX, "system.reg")):
        subprocess.run([os.path.join(ROOT, "scripts", "test-windows")], check=True, stdout=subprocess.DEVNULL)
    if not args.no_build:
        subprocess.run(["cmake", "--build", BUILD, "-j2", "--target", "kep-update", "kep-update-tool",
                        "dialog_driver"], cwd=ROOT, check=True, stdout=subprocess.DEVNULL)
    xvfb, display = start_display(workdir)
    env = wine_env(display)
    quiet = {"stdin": subprocess.DEVNULL, "stdout": subprocess.DEVNULL, "stderr": subprocess.DEVNULL}
    subprocess.run(["wineserver", "-p"], env=env, check=False, **quiet)
    subprocess.run(["wine", "cmd.exe", "/c", "exit"], env=env, stdin=subprocess.DEVNULL,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=60)
    null = open(os.devnull, "w")
    try:
        console = []
        for _ in range(args.runs):
            sim = new_sim(sim_target, workdir)
            status, usage, peak = timed(["wine", os.path.join(BUILD, "kep-update", "kep-update.exe"), "--quiet",
                                         "--port", "COM7"], env, null, watch_peak_memory)
            sim.finish()
            console.append(with_tool(sim.figures(), usage, peak, status))
        yield "kep-update.exe under Wine, flash time 0", console

        dialog = []
        for _ in range(args.runs):
            sim = new_sim(sim_target, workdir)
            started = time.monotonic()
            proc = subprocess.Popen(["wine", os.path.join(BUILD, "installer", "kep-update-tool.exe")], env=env,
                                    stdin=subprocess.DEVNULL, stdout=null, stderr=null)
            driver = os.path.join(BUILD, "tests", "windows", "dialog_driver.exe")
            pressed = subprocess.run(["wine", driver, "update", COM7, "Programming Completed"], env=env,
                                     stdin=subprocess.DEVNULL, stdout=null, stderr=null, timeout=150)
            subprocess.run(["wine", driver, "close"], env=env, stdin=subprocess.DEVNULL, stdout=null, stderr=null,
                           timeout=60)
            _, status, usage = os.wait4(proc.pid, 0)
            sim.finish()
            result = with_tool(sim.figures(), usage, 0, pressed.returncode)
            result["cpu_share"] = result["cpu"] / (time.monotonic() - started)
            result.pop("rss_mib")  # the window's memory is Wine's more than ours
            dialog.append(result)
        yield "dialog program under Wine, pressed by the test driver (CPU over the program's whole life)", dialog
    finally:
        subprocess.run(["timeout", "20", "wineserver", "-k"], env=env, check=False, **quiet)
        xvfb.kill()
        null.close()


def new_sim(sim_target, workdir):
    return sim_target(workdir, "com7", (), link=LINK)


def with_tool(figures, usage, peak_kib, status):
    if status != 0:
        raise SystemExit("a Windows update failed with status %d" % status)
    figures["cpu"] = usage.ru_utime + usage.ru_stime
    figures["cpu_share"] = figures["cpu"] / figures["wall"]
    figures["rss_mib"] = peak_kib / 1024
    return figures

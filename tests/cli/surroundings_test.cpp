// kep-update left alone as a station is: started with its output closed or
// cut short, its report's disk full. Every
// update completes where the target allows, and every record is whole.
#include "rig.h"

#include <fstream>
#include <gmock/gmock.h>

using testing::HasSubstr;

namespace
{

using Surroundings = rig;

TEST_F(Surroundings, ClosedOrCutOutputsAndAFullDiskCostNoBoardAndNoWholeRecord)
{
    const std::string report = dir + "/report.jsonl", earlier = "{\"earlier\":1}\n";
    std::ofstream(report) << earlier; // a record of an earlier run, kept whole
    struct surrounding {
        std::string shell; // runs kep-update as "$@"
        int status;
        std::vector<std::string> err; // in its standard error, in this order
    };
    // clang-format off
    const std::vector<surrounding> cases = {
        {"\"$@\" | head -n 1 >/dev/null; exit ${PIPESTATUS[0]}", 0,
         {"standard output cannot be written (Broken pipe); its text is dropped from here on",
          "Programming Completed OK"}}, // standard error goes on
        // Room in the report for one more record, not for two (SIZE: its size now); the
        // rows after it append to the report again.
        {"prlimit --fsize=$((SIZE + 700)) \"$@\" --quiet --port " + dir + "/rig/full1 >/dev/null",
         5, {"its record could not be written to the report (File too large); the report holds every record"}},
        {"exec \"$@\" >&-", 0, {"Programming Completed OK"}},
        {"exec \"$@\" 2>&-", 0, {}},
    };
    // clang-format on
    for (size_t i = 0; i < cases.size(); i++) {
        SCOPED_TRACE(cases[i].shell);
        std::string name = "s" + std::to_string(i);
        std::vector<std::string> args = {"--port", start_sim(name), "--image", small_image,
                                         "--report", report};
        if (cases[i].shell.find("full1") != std::string::npos)
            start_sim("full1");
        std::string shell = "SIZE=$(stat -c %s " + report + "); " + cases[i].shell;
        child_run run = run_tool(args, {"/bin/bash", "-c", shell, "bash"});
        EXPECT_EQ(run.status, cases[i].status) << run.err;
        expect_in_order(run.err, cases[i].err);
        EXPECT_TRUE(flash_holds(name, small_image));
    }
    EXPECT_TRUE(flash_holds("full1", small_image)) << "written, though not recorded";
    ASSERT_TRUE(sh("python3 -c \"import json,sys; r=[json.loads(l) for l in open('report.jsonl')]; "
                   "sys.exit(len(r) != 5 or [x.get('outcome') for x in r[1:]] != ['updated'] * 4)\""))
        << text_of(report);
}

} // namespace

// POSIX: patterns are path globs; a match is present when it leads to a file,
// so a link left behind by a vanished device does not count.
#include "port_pattern.h"

#include <glob.h>
#include <set>
#include <sys/stat.h>

std::vector<std::string> default_port_patterns() { return {"/dev/ttyUSB*", "/dev/ttyACM*"}; }

std::vector<std::string> matching_ports(const std::vector<std::string> &patterns)
{
    std::set<std::string> found;
    for (const auto &pattern : patterns) {
        glob_t matches{};
        if (glob(pattern.c_str(), 0, nullptr, &matches) == 0)
            for (size_t i = 0; i < matches.gl_pathc; i++) {
                struct stat target {
                };
                if (stat(matches.gl_pathv[i], &target) == 0)
                    found.insert(matches.gl_pathv[i]);
            }
        globfree(&matches);
    }
    return {found.begin(), found.end()};
}

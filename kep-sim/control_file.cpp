#include "control_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

void control_file_take_lines(control_file *control, std::vector<std::string> *lines)
{
    int fd = open(control->path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return;
    struct stat status {
    };
    if (fstat(fd, &status) == 0 && status.st_size < control->taken) {
        control->taken = 0;
        control->partial.clear();
    }
    char bytes[4096];
    ssize_t got;
    while ((got = pread(fd, bytes, sizeof bytes, control->taken)) > 0) {
        control->taken += got;
        control->partial.append(bytes, (size_t)got);
    }
    close(fd);
    size_t end;
    while ((end = control->partial.find('\n')) != std::string::npos) {
        lines->push_back(control->partial.substr(0, end));
        control->partial.erase(0, end + 1);
    }
}

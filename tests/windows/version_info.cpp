// Prints the version resource of a program file as Windows reads it for the
// file's properties, one "Name: value" line each, for scripts/test-windows.
#include <cstdio>
#include <string>
#include <vector>
#include <windows.h>

int main(int argc, char **argv)
{
    if (argc != 2) {
        fprintf(stderr, "usage: version_info PROGRAM.exe\n");
        return 2;
    }
    DWORD ignored = 0, size = GetFileVersionInfoSizeA(argv[1], &ignored);
    std::vector<char> info(size ? size : 1);
    if (!size || !GetFileVersionInfoA(argv[1], 0, size, info.data())) {
        fprintf(stderr, "no version resource in %s (error %lu)\n", argv[1], GetLastError());
        return 1;
    }
    VS_FIXEDFILEINFO *fixed = nullptr;
    UINT length = 0;
    if (VerQueryValueA(info.data(), "\\", (void **)&fixed, &length))
        printf("FILEVERSION: %u.%u.%u.%u\n", HIWORD(fixed->dwFileVersionMS),
               LOWORD(fixed->dwFileVersionMS), HIWORD(fixed->dwFileVersionLS),
               LOWORD(fixed->dwFileVersionLS));
    for (const char *name :
         {"ProductName", "ProductVersion", "FileVersion", "FileDescription", "Comments"}) {
        char *value = nullptr;
        std::string path = std::string("\\StringFileInfo\\080904B0\\") + name;
        if (VerQueryValueA(info.data(), path.c_str(), (void **)&value, &length))
            printf("%s: %s\n", name, value);
    }
    return 0;
}

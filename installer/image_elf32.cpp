// ELF32 little-endian ARM executables: each loadable segment's file bytes go
// to its physical (load) address, as `objcopy -O binary` places them; the
// rest of a segment's memory (.bss) is not part of the image.
#include "image_builder.h"

#define ELF_HEADER_SIZE 52
#define ELF_PROGRAM_HEADER_SIZE 32
#define ELFCLASS32 1
#define ELFDATA2LSB 1
#define ET_EXEC 2
#define EM_ARM 40
#define PT_LOAD 1

static uint32_t le16(const uint8_t *p) { return (uint32_t)(p[0] | p[1] << 8); }

static uint32_t le32(const uint8_t *p)
{
    return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}

static const char *const only_arm = "only 32-bit little-endian ARM executables can be written";

bool read_elf32(image_builder *builder, const uint8_t *data, size_t size)
{
    if (size < 6 || (data[4] == ELFCLASS32 && size < ELF_HEADER_SIZE))
        return image_fail(builder, "", "truncated ELF header");
    if (data[4] != ELFCLASS32)
        return image_fail(builder, "",
                          std::string(data[4] == 2 ? "a 64-bit" : "an unknown class of") +
                              " ELF file; " + only_arm);
    if (data[5] != ELFDATA2LSB)
        return image_fail(builder, "",
                          std::string(data[5] == 2 ? "a big-endian" : "an unknown byte order of") +
                              " ELF file; " + only_arm);
    uint32_t type = le16(data + 16), machine = le16(data + 18);
    if (type != ET_EXEC)
        return image_fail(builder, "",
                          text_printf("an ELF file that is not an executable (type %u); link it "
                                      "first",
                                      type));
    if (machine != EM_ARM)
        return image_fail(
            builder, "",
            text_printf("an ELF executable for machine %u, not ARM; %s", machine, only_arm));
    uint64_t table = le32(data + 28);
    uint64_t entry_size = le16(data + 42), entries = le16(data + 44);
    if (entries && entry_size < ELF_PROGRAM_HEADER_SIZE)
        return image_fail(builder, "",
                          text_printf("malformed ELF header (program header size %llu)",
                                      (unsigned long long)entry_size));
    if (table + entry_size * entries > size)
        return image_fail(builder, "",
                          "truncated ELF file (the program header table ends past its end)");
    for (uint64_t i = 0; i < entries; i++) {
        const uint8_t *header = data + table + i * entry_size;
        uint64_t offset = le32(header + 4), address = le32(header + 12),
                 file_size = le32(header + 16);
        // Segments without file bytes (.bss, the stack) write nothing.
        if (le32(header) != PT_LOAD || file_size == 0)
            continue;
        std::string where = "segment " + std::to_string(i);
        if (offset + file_size > size)
            return image_fail(builder, where,
                              text_printf("truncated ELF file (file bytes 0x%llX..0x%llX, the "
                                          "file has %zu)",
                                          (unsigned long long)offset,
                                          (unsigned long long)(offset + file_size - 1), size));
        if (!image_put(builder, address, data + offset, (size_t)file_size, where))
            return false;
    }
    return true;
}

// ELF32 little-endian ARM executables: loadable segments' file bytes go to
// their physical (load) addresses, as `objcopy -O binary` places them; the
// rest of a segment's memory (.bss) is not part of the image. When the file
// has section headers, only the bytes of its allocated sections are taken: the
// linker often maps the ELF headers and the padding after them into the first
// segment, below the program, and those are no part of the firmware.
#include "image_formats.h"

#define ELF_HEADER_SIZE 52
#define ELF_PROGRAM_HEADER_SIZE 32
#define ELFCLASS32 1
#define ELFDATA2LSB 1
#define ET_EXEC 2
#define EM_ARM 40
#define PT_LOAD 1
#define ELF_SECTION_HEADER_SIZE 40
#define SHT_NULL 0
#define SHT_NOBITS 8
#define SHF_ALLOC 2

struct elf_segment {
    uint64_t offset, address, file_size;
};

static uint32_t le16(const uint8_t *p) { return (uint32_t)(p[0] | p[1] << 8); }

static uint32_t le32(const uint8_t *p)
{
    return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}

static bool put_segments(image_builder *builder, const uint8_t *data,
                         const std::vector<elf_segment> &segments)
{
    for (size_t i = 0; i < segments.size(); i++)
        if (segments[i].file_size &&
            !image_put(builder, segments[i].address, data + segments[i].offset,
                       (size_t)segments[i].file_size, "segment " + std::to_string(i)))
            return false;
    return true;
}

// Each allocated section with file bytes goes where the segment that holds it
// loads it; a section outside every loadable segment is loaded by no one.
static bool put_sections(image_builder *builder, const uint8_t *data, size_t size,
                         const std::vector<elf_segment> &segments, const uint8_t *table,
                         uint64_t entry_size, uint64_t count)
{
    for (uint64_t j = 0; j < count; j++) {
        const uint8_t *header = table + j * entry_size;
        uint32_t type = le32(header + 4), flags = le32(header + 8);
        uint64_t offset = le32(header + 16), length = le32(header + 20);
        if (type == SHT_NULL || type == SHT_NOBITS || !(flags & SHF_ALLOC) || length == 0)
            continue;
        if (offset + length > size)
            return image_fail(builder, "section " + std::to_string(j),
                              "truncated ELF file (its bytes end past the file's end)");
        for (size_t i = 0; i < segments.size(); i++) {
            const elf_segment &segment = segments[i];
            if (offset < segment.offset || offset + length > segment.offset + segment.file_size)
                continue;
            if (!image_put(builder, segment.address + (offset - segment.offset), data + offset,
                           (size_t)length,
                           "segment " + std::to_string(i) + ", section " + std::to_string(j)))
                return false;
            break;
        }
    }
    return true;
}

static const char *const only_arm = "only 32-bit little-endian ARM executables can be written";

// A header table of `entries` entries of `entry_size` bytes at `table`: each
// entry holds at least `minimum` bytes and the table ends inside the file.
static bool check_table(image_builder *builder, const char *kind, uint64_t table,
                        uint64_t entry_size, uint64_t entries, uint64_t minimum, size_t size)
{
    if (entry_size < minimum)
        return image_fail(
            builder, "",
            text_printf("malformed ELF header (%s header size %u)", kind, (unsigned)entry_size));
    if (table + entry_size * entries > size)
        return image_fail(
            builder, "",
            text_printf("truncated ELF file (the %s header table ends past its end)", kind));
    return true;
}

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
    if (!check_table(builder, "program", table, entries ? entry_size : ELF_PROGRAM_HEADER_SIZE,
                     entries, ELF_PROGRAM_HEADER_SIZE, size))
        return false;
    std::vector<elf_segment> segments;
    for (uint64_t i = 0; i < entries; i++) {
        const uint8_t *header = data + table + i * entry_size;
        elf_segment segment{le32(header + 4), le32(header + 12), le32(header + 16)};
        // Segments without file bytes (.bss, the stack) write nothing.
        if (le32(header) != PT_LOAD || segment.file_size == 0)
            segment.file_size = 0;
        else if (segment.offset + segment.file_size > size)
            return image_fail(builder, "segment " + std::to_string(i),
                              "truncated ELF file (file bytes " + hex_address(segment.offset) +
                                  ".." + hex_address(segment.offset + segment.file_size - 1) +
                                  ", the file has " + std::to_string(size) + ")");
        segments.push_back(segment);
    }
    uint64_t sections = le16(data + 48);
    if (sections == 0)
        return put_segments(builder, data, segments);
    uint64_t section_table = le32(data + 32), section_entry_size = le16(data + 46);
    if (!check_table(builder, "section", section_table, section_entry_size, sections,
                     ELF_SECTION_HEADER_SIZE, size))
        return false;
    return put_sections(builder, data, size, segments, data + section_table, section_entry_size,
                        sections);
}

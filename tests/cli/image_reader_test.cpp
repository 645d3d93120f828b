// The image reader against files written by independent tools (binutils for
// arm, SRecord), never by our own writer: the flat image must equal what
// `objcopy -O binary` makes of the same file. Then every refusal and its message,
// and SHA-256 against sha256sum.
#include "image_reader.h"
#include "rig.h"
#include "sha256.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>

namespace
{

using ImageReader = rig;

void write_random(const std::string &path, uint32_t size)
{
    std::ofstream file(path, std::ios::binary);
    for (uint32_t x = size, i = 0; i < size; i++)
        file.put((char)((x = x * 1103515245u + 12345u) >> 16));
}

#define OBJCOPY "arm-none-eabi-objcopy "
#define AT_BASE " -I binary --change-addresses 0x08000800 "

TEST_F(ImageReader, GivesWhatObjcopyMakesOfFilesFromIndependentTools)
{
    write_random(dir + "/random.bin", 70000); // crosses 0x08010000: an address record mid-file
    write_random(dir + "/one.bin", 1);
    write_random(dir + "/block.bin", 1024);
    // Two loadable segments with a gap: code and constants, then the initial
    // values of .data (run in RAM, loaded after the constants), and .bss.
    std::ofstream(dir + "/app.s")
        << ".text\n.incbin \"random.bin\", 0, 700\n.section .rodata,\"a\"\n"
           ".incbin \"random.bin\", 700, 300\n.data\n.incbin \"random.bin\", 1000, 200\n"
           ".bss\n.space 64\n";
    std::ofstream(dir + "/app.ld")
        << "SECTIONS {\n .text 0x08000800 : { *(.text) }\n .rodata 0x08001400 : "
           "{ *(.rodata) }\n .data 0x20000000 : AT(0x08001800) { *(.data) }\n"
           " .bss : { *(.bss) }\n}\n";
    const char *const input_of[] = {"binary", "ihex", "srec", "elf32-littlearm"}; // by format
    // 16- and 24-bit addresses cannot reach the flash: such files are refused at their first
    // record.
    const std::string below = " lies below 0x08000800";
    // clang-format off
    const std::tuple<std::string, image_format, std::string> cases[] = {
        {OBJCOPY "-O ihex" AT_BASE "random.bin ela.hex", IMAGE_INTEL_HEX, ""},
        {"srec_cat random.bin -binary -offset 0x08000800 -Output_Block_Size=255 -o - -intel > len255.hex",
         IMAGE_INTEL_HEX, ""},
        {OBJCOPY "-O ihex" AT_BASE "one.bin one.hex", IMAGE_INTEL_HEX, ""},
        // Ctrl-Z ends the text, after CRLF lines or LF ones.
        {"srec_cat one.bin -binary -offset 0x08000800 -o - -intel -crlf > crlf.hex && printf '\\032' >> crlf.hex",
         IMAGE_INTEL_HEX, ""},
        {OBJCOPY "-O ihex" AT_BASE "block.bin lf.hex && printf '\\032\\032' >> lf.hex", IMAGE_INTEL_HEX, ""},
        // No end record: the S5 count shows the file whole, unless it is wrong.
        {"srec_cat random.bin -binary -offset 0x08000800 -o noend.srec", IMAGE_SREC, ""},
        {"srec_cat one.bin -binary -offset 0x08000800 -o - | sed s/S5030001FB/S5030002FA/ > count.srec",
         IMAGE_SREC, "count.srec: line 3: bad record count 2 (1 data records come before it)"},
        {OBJCOPY "-O srec --srec-len 8" AT_BASE "random.bin len8.s37", IMAGE_SREC, ""},
        {"cp block.bin copy.bin", IMAGE_RAW, ""},
        {"arm-none-eabi-as app.s -o app.o && arm-none-eabi-ld -T app.ld app.o -o app.elf", IMAGE_ELF32, ""},
        {OBJCOPY "-O ihex -I binary --change-addresses 0x1000 one.bin low.hex", IMAGE_INTEL_HEX,
         "low.hex: line 1: data at 0x00001000..0x00001000" + below},
        {OBJCOPY "-O srec -I binary --change-addresses 0x1000 block.bin s1.srec", IMAGE_SREC,
         "s1.srec: line 2: data at 0x00001000..0x0000100F" + below},
        {OBJCOPY "-O srec -I binary --change-addresses 0x10000 block.bin s2.srec", IMAGE_SREC,
         "s2.srec: line 2: data at 0x00010000..0x0001000F" + below}};
    // clang-format on
    for (const auto &[make, format, error] : cases) {
        std::string file = make.substr(make.rfind(' ') + 1);
        SCOPED_TRACE(file);
        ASSERT_TRUE(sh(make + " && " OBJCOPY "-I " + input_of[format] + " -O binary " + file +
                       " expected"));
        std::string bytes = text_of(dir + "/" + file);
        flat_image image;
        read_image((const uint8_t *)bytes.data(), bytes.size(), file, &image);
        EXPECT_EQ(image.error.substr(0, error.empty() ? std::string::npos : error.size()), error);
        if (!error.empty())
            continue;
        EXPECT_EQ(image.format, format);
        EXPECT_EQ(image.lowest, 0x08000800u);
        EXPECT_EQ(std::string(image.bytes.begin(), image.bytes.end()), text_of(dir + "/expected"));
    }
}

TEST_F(ImageReader, RefusesWithAMessageNamingTheFilePlaceAndAddresses)
{
    const std::string ela = ":020000040800F2\n", eof = ":00000001FF\n";
    const std::string above = "or above, outside any KEP flash (RAM or option bytes?); export "
                              "the flash sections only";
    const std::string only_arm = "; only 32-bit little-endian ARM executables can be written";
    auto elf = [](char bits, char order, char type, char machine) {
        std::string header = std::string("\x7f") + "ELF" + bits + order + std::string(46, '\0');
        header[16] = type;
        header[18] = machine;
        return header;
    };
    // One 4-byte section, the file's last bytes, in one loadable segment. Fields in
    // ascending order: the next one overwrites a 16-bit field's high zero bytes.
    auto put32 = [](std::string file, std::initializer_list<std::pair<size_t, uint32_t>> fields) {
        for (auto [at, value] : fields)
            for (size_t i = 0; i < 4; i++)
                file[at + i] = (char)(value >> 8 * i);
        return file;
    };
    const std::string last =
        put32(elf(1, 1, 2, 40) + std::string(72, '\0') + "\x11\x22\x33\x44",
              {{28, 52}, {32, 84}, {42, 32}, {44, 1}, {46, 40}, {48, 1}, {52, 1}, {56, 124},
               {64, 0x08000800}, {68, 4}, {88, 1}, {92, 2}, {100, 124}, {104, 4}});
    // No sections: the loadable segment alone, beside a note at address 0 that loads nothing.
    const std::string segments = put32(last, {{44, 2}, {46, 40}, {48, 0}, {84, 4}, {88, 124},
                                              {92, 0}, {96, 0}, {100, 4}, {104, 4}});
    const std::string largest(0x08200000 - 0x08000800, 'x');
    const std::string no_end = "no end record (S7, S8 or S9) and no record count (S5 or S6) after "
                               "the last data record: the file is truncated; if it is whole, give "
                               "it an end record (srec_cat fw -Execution_Start_Address 0x08000800 "
                               "-o fixed.srec)";
    // An empty message: read, not refused.
    const std::pair<std::string, std::string> cases[] = {
        // clang-format off
        {ela + ":0108000011E7\n" + eof, "line 2: bad checksum 0xE7 (the record's bytes give 0xE6)"},
        {ela + ":0308000011E4\n" + eof, "line 2: bad byte count 3 (the record holds 1 data bytes)"},
        {ela + ":0108000011E\n" + eof, "line 2: malformed or truncated record (an odd number of hex digits)"},
        {ela + ":01080000\n" + eof, "line 2: truncated record (shorter than count, address, type and checksum)"},
        {ela + ":01080000X1E6\n" + eof, "line 2: malformed record (character 10 is not a hex digit)"},
        {ela + "01080000X1E6\n" + eof, "line 2: malformed record (it does not begin with ':')"},
        {ela + ":00000006FA\n" + eof, "line 2: unknown record type 06"},
        {ela + ":0108000011E6\n:0108000022D5\n" + eof, "line 3: gives 0x22 for address 0x08000800, which an earlier record set to 0x11"},
        {ela + ":0108000011E6\n:0108000011E6\n" + eof, ""}, // the same byte twice is no conflict
        {":020000020800F4\n:0100000011EE\n" + eof, "line 2: data at 0x00008000..0x00008000 lies below 0x08000800, where the target's bootloader lives"},
        {ela + ":0107FF00AA4F\n" + eof, "line 2: data at 0x080007FF..0x080007FF lies below "
                                        "0x08000800, where the target's bootloader lives"},
        {":02000004081FD3\n:02FFFF000102FD\n" + eof, "line 2: data at 0x081FFFFF..0x08200000 reaches 0x08200000 " + above},
        {ela + ":0108000011E6\n", "no end-of-file record (type 01): the file is truncated"},
        {ela + eof + ":0108000011E6\n", "line 3: a record after the end-of-file record of line 2"},
        {ela + eof, "no data bytes in the file"},
        {ela + ":0108000011E6\n:0100000100FE\n", "line 3: bad byte count 1 for a type 01 record (it holds 0)"},
        {ela + ":0100000200FD\n" + eof, "line 2: bad byte count 1 for a type 02 record (it holds 2)"},
        {"S307080008001122B7\nS9030000FC\n", "line 1: bad checksum 0xB7 (the record's bytes give 0xB5)"},
        {"S3090800080011D5\nS9030000FC\n", "line 1: bad byte count 9 (the record holds 6 bytes)"},
        {"S307080008001122B5\nS5030002FA\nS9030000FC\n", "line 2: bad record count 2 (1 data records come before it)"},
        {"S307080008001122B5\nS4030000FC\nS9030000FC\n", "line 2: unknown record type S4"},
        {"S307080008001122B\nS9030000FC\n", "line 1: malformed or truncated record (an odd number of hex digits)"},
        {"S307080008001122B5\n", no_end}, {"S307080008001122B5\nS5030001FB\nS307080008021122B3\n", no_end},
        {elf(2, 1, 2, 40), "a 64-bit ELF file" + only_arm},
        {elf(3, 1, 2, 40), "an unknown class of ELF file" + only_arm},
        {elf(1, 2, 2, 40), "a big-endian ELF file" + only_arm},
        {elf(1, 0, 2, 40), "an unknown byte order of ELF file" + only_arm},
        {elf(1, 1, 2, 40).substr(0, 51), "truncated ELF header"},
        {elf(2, 1, 2, 40).substr(0, 6), "a 64-bit ELF file" + only_arm},
        {elf(1, 1, 1, 40), "an ELF file that is not an executable (type 1); link it first"},
        {elf(1, 1, 2, 3), "an ELF executable for machine 3, not ARM" + only_arm},
        {put32(elf(1, 1, 2, 40), {{18, 296}}), "an ELF executable for machine 296, not ARM" + only_arm},
        {put32(last, {{46, 39 | 1 << 16}}), "malformed ELF header (section header size 39)"},
        {elf(1, 1, 2, 40), "no data bytes in the file"},
        {last, ""}, {segments, ""}, {std::string("\x7f" "ELF\x02"), "truncated ELF header"}, {"", "no data bytes in the file"},
        {":0108000011E6X\n", ""}, // not hex digits only: a raw binary
        // One digit too short for the shortest record: a raw binary; then the shortest.
        {":000000000\n", ""}, {":00000001FF\n", "no data bytes in the file"},
        {"S90300000\n", ""}, {"S9030000FC\n", "no data bytes in the file"}, {largest, ""},
        {largest + "x", "raw binary of 2095105 bytes: data at 0x08000800..0x08200000 reaches 0x08200000 " + above}};
        // clang-format on
    for (const auto &[content, error] : cases) {
        flat_image image;
        EXPECT_EQ(read_image((const uint8_t *)content.data(), content.size(), "fw", &image),
                  error.empty());
        EXPECT_EQ(image.error, error.empty() ? "" : "fw: " + error);
        EXPECT_EQ(image.bytes.empty(), !error.empty());
    }
    // Blank lines before the first record, anything after a Ctrl-Z and no line
    // end after the last record do not hide a text format.
    const std::pair<std::string, image_format> formats[] = {
        {"\n \r\n:020000020000FC\n" + ela + ":01080000aa4d\n:00000001ff", IMAGE_INTEL_HEX},
        {"\r\n\t\nS307080008001122B5\nS9030000FC\n", IMAGE_SREC},
        {"S307080008001122B5\nS9030000FC\n\x1aS4", IMAGE_SREC}};
    for (const auto &[content, format] : formats) {
        flat_image image;
        EXPECT_TRUE(read_image((const uint8_t *)content.data(), content.size(), "fw", &image))
            << image.error;
        EXPECT_EQ(image.format, format);
    }
    // Text named like HEX that is not HEX is never written as a raw binary.
    flat_image image;
    EXPECT_FALSE(read_image((const uint8_t *)"\x01\x02", 2, "app.HEX", &image));
    EXPECT_EQ(image.error, "app.HEX: named like an Intel HEX file, but its content is not Intel "
                           "HEX; refusing to write it as a raw binary");
    // A lone 'S' is no S-record: the byte after it, past the file's end, is not read.
    const std::vector<uint8_t> lone_s = {'S'};
    EXPECT_TRUE(read_image(lone_s.data(), lone_s.size(), "fw", &image));
}

// Lengths around the 56-byte mark where the length field no longer fits the
// last block, and a message long enough to repeat every path many times.
TEST_F(ImageReader, Sha256AgreesWithSha256sumAtEveryPaddingBoundary)
{
    write_random(dir + "/message", 1 << 20);
    std::string message = text_of(dir + "/message");
    for (size_t length : {0, 1, 55, 56, 63, 64, 65, 119, 120, 1 << 20}) {
        std::string command = "head -c " + std::to_string(length) + " " + dir + "/message | sha256sum";
        FILE *pipe = popen(command.c_str(), "r");
        char expected[SHA256_HEX_SIZE] = {}, digest[SHA256_HEX_SIZE];
        ASSERT_TRUE(pipe && fread(expected, 1, 64, pipe) == 64);
        pclose(pipe);
        sha256_hex((const uint8_t *)message.data(), length, digest);
        EXPECT_STREQ(digest, expected) << length;
    }
}

} // namespace

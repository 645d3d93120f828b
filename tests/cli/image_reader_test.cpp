// The image reader against files written by independent tools (binutils for
// arm, SRecord), never by our own writer: the flat image must equal what
// `objcopy -O binary` makes of the same file. Then every refusal and its message.
#include "image_reader.h"
#include "rig.h"

#include <cstdlib>
#include <fstream>

namespace
{

class ImageReader : public rig
{
  protected:
    void write(const std::string &file, const std::string &text)
    {
        std::ofstream(dir + "/" + file, std::ios::binary) << text;
    }
    void write_random(const std::string &file, size_t size)
    {
        std::string bytes(size, 0);
        uint32_t x = (uint32_t)size;
        for (char &byte : bytes)
            byte = (char)((x = x * 1103515245u + 12345u) >> 16);
        write(file, bytes);
    }
    flat_image read(const std::string &file)
    {
        std::string bytes = text_of(dir + "/" + file);
        flat_image image;
        read_image((const uint8_t *)bytes.data(), bytes.size(), file, &image);
        return image;
    }
};

#define OBJCOPY "arm-none-eabi-objcopy "
#define AT_BASE " -I binary --change-addresses 0x08000800 "

TEST_F(ImageReader, GivesWhatObjcopyMakesOfFilesFromIndependentTools)
{
    write_random("random.bin", 70000); // crosses 0x08010000: an address record mid-file
    write_random("one.bin", 1);
    write_random("block.bin", 1024);
    // Two loadable segments with a gap: code and constants, then the initial
    // values of .data (run in RAM, loaded after the constants), and .bss.
    write("app.s", ".text\n.incbin \"random.bin\", 0, 700\n.section .rodata,\"a\"\n"
                   ".incbin \"random.bin\", 700, 300\n.data\n.incbin \"random.bin\", 1000, 200\n"
                   ".bss\n.space 64\n");
    write("app.ld", "SECTIONS {\n .text 0x08000800 : { *(.text) }\n .rodata 0x08001400 : "
                    "{ *(.rodata) }\n .data 0x20000000 : AT(0x08001800) { *(.data) }\n"
                    " .bss : { *(.bss) }\n}\n");
    const struct {
        std::string file, make, input;
        image_format format;
    } cases[] = {
        {"ela.hex", OBJCOPY "-O ihex" AT_BASE "random.bin ela.hex", "ihex", IMAGE_INTEL_HEX},
        {"len255.hex",
         "srec_cat random.bin -binary -offset 0x08000800 -o len255.hex -intel "
         "-Output_Block_Size=255",
         "ihex", IMAGE_INTEL_HEX},
        {"one.hex", OBJCOPY "-O ihex" AT_BASE "one.bin one.hex", "ihex", IMAGE_INTEL_HEX},
        {"len8.s37", OBJCOPY "-O srec --srec-len 8" AT_BASE "random.bin len8.s37", "srec",
         IMAGE_SREC},
        {"block.bin", "true", "binary", IMAGE_RAW},
        {"app.elf",
         "arm-none-eabi-as app.s -o app.o && arm-none-eabi-ld -T app.ld app.o -o app.elf",
         "elf32-littlearm", IMAGE_ELF32}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.file);
        ASSERT_TRUE(sh(c.make));
        ASSERT_TRUE(sh(OBJCOPY "-I " + c.input + " -O binary " + c.file + " expected"));
        flat_image image = read(c.file);
        EXPECT_EQ(image.error, "");
        EXPECT_EQ(image.format, c.format);
        EXPECT_EQ(image.lowest, 0x08000800u);
        EXPECT_EQ(std::string(image.bytes.begin(), image.bytes.end()), text_of(dir + "/expected"));
    }
    // 16- and 24-bit addresses cannot reach the flash: such files are read
    // and refused at their first record.
    const std::pair<std::string, std::string> low[] = {
        {OBJCOPY "-O ihex -I binary --change-addresses 0x1000 one.bin low.hex",
         "low.hex: line 1: data at 0x00001000..0x00001000 lies below 0x08000800"},
        {OBJCOPY "-O srec -I binary --change-addresses 0x1000 block.bin s1.srec",
         "s1.srec: line 2: data at 0x00001000..0x0000100F lies below 0x08000800"},
        {OBJCOPY "-O srec -I binary --change-addresses 0x10000 block.bin s2.srec",
         "s2.srec: line 2: data at 0x00010000..0x0001000F lies below 0x08000800"}};
    for (const auto &[make, error] : low) {
        ASSERT_TRUE(sh(make)) << make;
        std::string file = make.substr(make.rfind(' ') + 1);
        EXPECT_EQ(read(file).error.rfind(error, 0), 0u) << read(file).error;
    }
}

TEST_F(ImageReader, RefusesWithAMessageNamingTheFilePlaceAndAddresses)
{
    const std::string ela = ":020000040800F2\n", eof = ":00000001FF\n";
    const std::string below = "lies below 0x08000800, where the target's bootloader lives";
    const std::string above = "or above, outside any KEP flash (RAM or option bytes?); export "
                              "the flash sections only";
    const std::string only_arm = "; only 32-bit little-endian ARM executables can be written";
    auto elf = [](char bits, char order, char type, char machine) {
        std::string header = std::string("\x7f") + "ELF" + bits + order + std::string(46, '\0');
        header[16] = type;
        header[18] = machine;
        return header;
    };
    const std::string largest(0x08200000 - 0x08000800, 'x');
    // An empty message: read, not refused.
    const std::pair<std::string, std::string> cases[] = {
        {ela + ":0108000011E7\n" + eof, "line 2: bad checksum 0xE7 (the record's bytes give 0xE6)"},
        {ela + ":0308000011E4\n" + eof, "line 2: bad byte count 3 (the record holds 1 data bytes)"},
        {ela + ":0108000011E\n" + eof,
         "line 2: malformed or truncated record (an odd number of hex digits)"},
        {ela + ":01080000X1E6\n" + eof,
         "line 2: malformed record (character 10 is not a hex digit)"},
        {ela + "01080000X1E6\n" + eof, "line 2: malformed record (it does not begin with ':')"},
        {ela + ":00000006FA\n" + eof, "line 2: unknown record type 06"},
        {ela + ":0108000011E6\n:0108000022D5\n" + eof,
         "line 3: gives 0x22 for address 0x08000800, which an earlier record set to 0x11"},
        {ela + ":0108000011E6\n:0108000011E6\n" + eof, ""}, // the same byte twice is no conflict
        {ela + ":0107FF00AA4F\n" + eof, "line 2: data at 0x080007FF..0x080007FF " + below},
        {":02000004081FD3\n:02FFFF000102FD\n" + eof,
         "line 2: data at 0x081FFFFF..0x08200000 reaches 0x08200000 " + above},
        {ela + ":0108000011E6\n", "no end-of-file record (type 01): the file is truncated"},
        {ela + eof + ":0108000011E6\n", "line 3: a record after the end-of-file record of line 2"},
        {ela + eof, "no data bytes in the file"},
        {"S307080008001122B6\nS9030000FC\n",
         "line 1: bad checksum 0xB6 (the record's bytes give 0xB5)"},
        {"S3090800080011D5\nS9030000FC\n", "line 1: bad byte count 9 (the record holds 6 bytes)"},
        {"S307080008001122B5\nS5030002FA\nS9030000FC\n",
         "line 2: bad record count 2 (1 data records come before it)"},
        {"S307080008001122B5\nS4030000FC\nS9030000FC\n", "line 2: unknown record type S4"},
        {"S307080008001122B5\n", "no end record (S7, S8 or S9): the file is truncated"},
        {elf(2, 1, 2, 40), "a 64-bit ELF file" + only_arm},
        {elf(1, 2, 2, 40), "a big-endian ELF file" + only_arm},
        {elf(1, 1, 1, 40), "an ELF file that is not an executable (type 1); link it first"},
        {elf(1, 1, 2, 3), "an ELF executable for machine 3, not ARM" + only_arm},
        {elf(1, 1, 2, 40), "no data bytes in the file"},
        {"", "no data bytes in the file"},
        {largest, ""},
        {largest + "x", "raw binary of 2095105 bytes: data at 0x08000800..0x08200000 reaches "
                        "0x08200000 " +
                            above}};
    for (const auto &[content, error] : cases) {
        flat_image image;
        EXPECT_EQ(read_image((const uint8_t *)content.data(), content.size(), "fw", &image),
                  error.empty());
        EXPECT_EQ(image.error, error.empty() ? "" : "fw: " + error);
        EXPECT_EQ(image.bytes.empty(), !error.empty());
    }
    // Text named like HEX that is not HEX is never written as a raw binary.
    flat_image image;
    EXPECT_FALSE(read_image((const uint8_t *)"\x01\x02", 2, "app.HEX", &image));
    EXPECT_EQ(image.error, "app.HEX: named like an Intel HEX file, but its content is not Intel "
                           "HEX; refusing to write it as a raw binary");
}

} // namespace

#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets next to this script.

fuzz_link_state_machine inputs: blocks-1, bytes cut from the last block,
image seed, then one answer per request written (kind byte, then its
parameters; see fuzz/fuzzed_target.h). Once the answers run out, every
request gets the correct reply 5 ms later.
"""
import os

HERE = os.path.dirname(os.path.abspath(__file__))

CORRECT, SILENCE, CORRUPTED, BYTES_WITH_CRC, RAW, WRONG_RANGE_CRC, TWICE, TRUNCATED, \
    EXTENDED, SPLIT, SILENT_FROM_NOW = range(11)


def crc16_modbus(data):
    crc = 0xFFFF
    for b in data:
        crc ^= b
        for _ in range(8):
            crc = (crc >> 1) ^ 0xA001 if crc & 1 else crc >> 1
    return crc


def with_crc(data):
    crc = crc16_modbus(data)
    return bytes(data) + bytes([crc & 0xFF, crc >> 8])


def ok(delay=1):
    return [CORRECT, delay]


# Three contact requests (the first two answers are read as one), then blocks.
CONTACT = ok() * 3

state_machine = {
    "clean_1_block": [0, 0, 1],
    "clean_4_blocks_odd_size": [3, 201, 7],
    "silent_target": [1, 0, 2, SILENT_FROM_NOW],
    "silent_after_contact": [1, 0, 3] + CONTACT + [SILENT_FROM_NOW],
    "verify_crc_mismatch": [1, 0, 4] + CONTACT + ok() * 2 + [WRONG_RANGE_CRC, 1, 0x12, 0x34],
    "verify_reply_13_bytes": [0, 10, 5] + CONTACT + ok() + [TRUNCATED, 1, 11],
    "verify_reply_extended": [0, 0, 6] + CONTACT + ok() + [EXTENDED, 1, 4, 1, 2, 3, 4],
    "lost_ack": [2, 0, 8] + CONTACT + ok() + [SILENCE] + ok() * 2,
    "late_ack_then_twice": [2, 0, 9] + CONTACT + [TWICE, 170, 10] + ok() * 3,
    "corrupted_ack": [1, 0, 10] + CONTACT + [CORRUPTED, 1, 4, 0x40] + ok() * 3,
    "garbage_with_crc_at_contact": [0, 0, 12, BYTES_WITH_CRC, 2, 6, 9, 8, 7, 6, 5, 4] + CONTACT,
    "split_reply": [1, 0, 11] + CONTACT + [SPLIT, 1, 5, 30] + ok() * 3,
    "reset_unanswered": [0, 0, 14] + CONTACT + ok() * 2 + [SILENCE] * 5 + ok(),
    "frame_overflow_reply": [0, 0, 15] + CONTACT + [RAW, 1, 255] + [0x55] * 1045,
}

contact = bytes.fromhex("042bf30800080000000004 7282".replace(" ", ""))
frame_is_valid = {
    "empty": b"",
    "three_bytes": b"\x04\x2b\xf3",
    "four_bytes_valid": with_crc(b"\x04\x2b"),
    "contact_bad_crc": contact[:-1] + b"\x00",
    "reset_request": bytes.fromhex("042bf42f76"),
    "full_buffer": with_crc(bytes(1038)),
}


def write(target, seeds):
    folder = os.path.join(HERE, "corpus", target)
    os.makedirs(folder, exist_ok=True)
    for name, data in seeds.items():
        with open(os.path.join(folder, name), "wb") as f:
            f.write(bytes(data))


write("fuzz_link_state_machine", state_machine)
write("fuzz_frame_is_valid", frame_is_valid)

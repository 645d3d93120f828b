#!/usr/bin/env python3
# Writes the seed corpus of fuzz_link_state_machine next to this script; the
# input layout is described at the top of fuzz/fuzz_link_state_machine.cpp.
# Fault switches: 1 drop, 2 late, 3 corrupt, 4 split, 5 duplicate ack,
# 6 exception, 7 ignore contact, 8 wrong, 9 short, 10 forged verify, 11 ignore
# reset. Once the line effects run out, every reply arrives as planned.
import os

HERE = os.path.dirname(os.path.abspath(__file__))

AS_PLANNED, LOST, CORRUPTED, RESHAPED, RAW, TWICE, SPLIT, DEAD_FROM_NOW = range(8)


def ok(delay=1):
    return [AS_PLANNED, delay]


CONTACT = ok() * 3  # the first two answers are read as one
CLEAN = [0, 0, 0, 0]

seeds = {
    "clean_1_block": [0, 0, 1] + CLEAN,
    "clean_4_blocks_odd_size": [3, 201, 7, 0, 0, 0, 1],
    "dead_line": [1, 0, 2] + CLEAN + [DEAD_FROM_NOW],
    "dead_after_contact": [1, 0, 3] + CLEAN + CONTACT + [DEAD_FROM_NOW],
    "wrong_verify": [1, 0, 4, 8, 0, 0, 0],
    "short_verify": [0, 10, 5, 9, 0, 0, 0],
    "forged_verify": [0, 10, 5, 10, 0, 0, 0],
    "verify_reply_extended": [0, 0, 6] + CLEAN + CONTACT + ok() + [RESHAPED, 1, 13, 4, 1, 2, 3, 4],
    "dropped_ack": [2, 0, 8, 1, 1, 0, 0],
    "late_ack": [2, 0, 9, 2, 0, 130, 0],
    "duplicate_ack": [2, 0, 9, 5, 1, 0, 0],
    "corrupt_ack": [1, 0, 10, 3, 1, 0, 0],
    "split_ack": [1, 0, 11, 4, 0, 240, 0],
    "exception": [1, 0, 11, 6, 1, 0, 0],
    "garbage_with_crc_at_contact": [0, 0, 12] + CLEAN + [RESHAPED, 2, 0, 6, 9, 8, 7, 6, 5, 4],
    "reset_unanswered": [0, 0, 14, 11, 2, 0, 0],
    "truncated_ack": [1, 0, 15] + CLEAN + CONTACT + [RESHAPED, 1, 5, 0],
    "frame_overflow_reply": [0, 0, 15] + CLEAN + CONTACT + [RAW, 1, 255] + [0x55] * 1045,
}

folder = os.path.join(HERE, "corpus", "fuzz_link_state_machine")
os.makedirs(folder, exist_ok=True)
for old in os.listdir(folder):
    os.remove(os.path.join(folder, old))
for name, data in seeds.items():
    with open(os.path.join(folder, name), "wb") as f:
        f.write(bytes(data))

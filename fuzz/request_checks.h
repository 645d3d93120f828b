// The form of every request the tool writes, checked against the link record
// at the moment of writing (the state entered is not yet stored in it).
#pragma once

#include "update_link.h"

#include <cstdint>
#include <vector>

// Aborts the run unless `request` is a well-formed contact, program-block,
// verify or reset request, the one that `link`'s state may send next, with
// the data of `padded_image` (the harness's own copy) at `link`'s offset.
void check_request(const update_link *link, const std::vector<uint8_t> &padded_image,
                   const std::vector<uint8_t> &request);

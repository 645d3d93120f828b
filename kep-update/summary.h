// The table printed at the end of a run over several named ports.
#pragma once

#include "runner.h"

#include <string>
#include <vector>

std::string format_summary(const std::vector<const board *> &boards, bool check);

// The table printed at the end of a multi-port run.
#pragma once

#include "port_job.h"

#include <memory>
#include <string>
#include <vector>

std::string format_summary(const std::vector<std::unique_ptr<port_job>> &jobs, int32_t image_size);
void print_summary(const std::vector<std::unique_ptr<port_job>> &jobs, int32_t image_size);

// The width of the terminal that standard error shows on.
#pragma once

// Columns of standard error's terminal, or `fallback` when it has none or
// will not say.
int terminal_columns(int fallback);

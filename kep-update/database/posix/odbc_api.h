// The ODBC calls, from unixODBC's headers.
#pragma once

#include <sql.h>
#include <sqlext.h>

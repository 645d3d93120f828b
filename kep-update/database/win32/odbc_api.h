// The ODBC calls, from the Windows headers: sql.h needs the system's types first.
#pragma once

#include <windows.h>

#include <sql.h>
#include <sqlext.h>

// Control ids of the "MRV" dialog, shared by its template and the program.
#pragma once

#define IDC_PORT_LIST 3
#define IDC_UPDATE 4
#define IDC_STATUS 5

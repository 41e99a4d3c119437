#pragma once

// Resource ids shared by tessolo.rc and the window code.
#define IDI_TESSOLO 101
#define IDB_BACKGROUND 201
#define IDB_INFO 202
#define IDB_ABOUT 203
#define IDB_PROGRESS 204

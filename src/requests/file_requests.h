#pragma once
// Offline database files: listing, deleting, creating, opening and closing
// them, and listing the users' spreadsheet files.
#include "requests/request.h"

namespace requests {

int FileListSteps(RequestContext& ctx);
int FileDeleteSteps(RequestContext& ctx);
int FileUserListSteps(RequestContext& ctx);
int FileCreateSteps(RequestContext& ctx);
int FileOpenSteps(RequestContext& ctx);
int FileCloseSteps(RequestContext& ctx);
// After a refused FILE_CLOSE: the slot's file is closed and the slot and
// the user let go all the same.
void GiveUpRefusedClose(RequestContext& ctx);

// Deletes the offline files named in the request's data (30-byte fields, the
// first empty one ends the list). 1; 170; 179; 180; 182; 185; 186; 252.
int DeleteDBFiles(const web::WebMsg& request, int varNum);

// Reads the slot's web disconnect time-out (minutes, column 52 of the first
// PGC501 row) from the slot's database. 1; -3.
int LoadPGC501Timeout(int varNum);
// The time-out in milliseconds for a value in minutes: 55,000 ms a minute.
int WebTimeoutFromMinutes(int minutes);

}  // namespace requests

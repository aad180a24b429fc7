#pragma once
// The precondition check that runs before every request's steps, and the
// write-back of a user's connection mark after a failed step.
#include <cstdint>
#include <string>
#include <vector>

#include "web/web_message.h"

namespace requests {

// Allocates the reply data (recordLength + 1 zeroed bytes; 132 when it cannot
// be had), prepares it for the request, then checks the request's
// preconditions against the slot's state, the files and the user table.
// 1 when the request may run, otherwise the refusal code.
int CheckRequestState(std::vector<std::uint8_t>& reply, int recordLength, const web::WebMsg& msg, int varNum);

// "Update userinfo set connect_state = %d where user_id = '%s'" for the
// request's user. 1; the statement's code.
int RollBackDataBase(int connectState, const web::WebMsg& msg, int varNum);

// The file name of a file request: the data as text, normalised and trimmed
// of surrounding blanks.
std::string RequestFileName(const web::WebMsg& msg);

// The request's user must have no connection mark: 1; 163 (logged); 243; 244.
int CheckUserNotConnected(const web::WebMsg& msg, int varNum);
// Sets the slot's state back to the one saved before the request changed it.
void RestoreState(int varNum);
// The file of ALL_DOWNLOAD_START: its first 30 data bytes (byte 30 is the
// creation mode).
std::string DownloadFileName(const web::WebMsg& msg);
// The work database name of a slot: "workDB_<varNum>".
std::string WorkDatabaseName(int varNum);

}  // namespace requests

// The message codes a session delivers (the KVNetMsg* codes of the public interface) and
// their names as the session log writes them.
#pragma once

// The code's name; "MsgInfo" for the one-shot results, "KVNetMsgUnknown" for a code
// that is not in the table.
const char* kv_session_code_name(unsigned code);

// The one table of the session's message codes and their names, built from the public
// enumeration so that a name cannot drift from its value.
#include "session_codes.h"

#include "kvnet/KVNetSession.h"

namespace {

struct CodeName {
    unsigned code;
    const char* name;
};

#define KV_CODE(name) {name, #name}
// The one-shot results are logged under one name.
#define KV_INFO(name) {name, "MsgInfo"}

constexpr CodeName kCodes[] = {
    KV_CODE(KVNetMsgConnectStart),
    KV_CODE(KVNetMsgConnectSuccess),
    KV_CODE(KVNetMsgConnectFail),
    KV_CODE(KVNetMsgConnectClosed),
    KV_CODE(KVNetMsgConnectStop),
    KV_CODE(KVNetMsgLoginRequest),
    KV_CODE(KVNetMsgLoginSuccess),
    KV_CODE(KVNetMsgLoginUserLogined),
    KV_CODE(KVNetMsgLoginNoUserName),
    KV_CODE(KVNetMsgLoginPasswordError),
    KV_CODE(KVNetMsgLoginFail),
    KV_CODE(KVNetMsgLoginNoRight),
    KV_CODE(KVNetMsgIpFilter),
    KV_CODE(KVNetMsgOverMaxUser),
    KV_CODE(KVNetMsgLoginUserDisable),
    KV_CODE(KVNetMsgLoginForceChangePWD),
    KV_CODE(KVNetMsgLoginForceCloseBrowser),
    KV_CODE(KVNetTypeP2P),
    KV_CODE(KVNetTypeP2PRelay),
    KV_INFO(KVNetMsgPushParamSuccess),
    KV_INFO(KVNetMsgPushParamFail),
    KV_INFO(KVNetMsgSavePasswordSuccess),
    KV_INFO(KVNetMsgSavePasswordFail),
    KV_CODE(KVNetMsgAdminIsLogin),
};

#undef KV_CODE
#undef KV_INFO

} // namespace

const char* kv_session_code_name(unsigned code)
{
    for (const CodeName& c : kCodes)
        if (c.code == code)
            return c.name;
    return "KVNetMsgUnknown";
}

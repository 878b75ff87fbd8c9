#include "kv_srp6_client.h"

#include <cstring>

kv_srp6_client::kv_srp6_client()
{
    memset(key_, 0, sizeof key_);
    memset(iv_, 0, sizeof iv_);
}

kv_srp6_client::~kv_srp6_client() = default;

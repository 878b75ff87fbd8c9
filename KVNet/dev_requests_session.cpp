// The bridge from a DevConnection handle to the request calls' view of a session.
#include "dev_requests.h"

namespace kvreq {

// Until sessions exist every handle is refused.
RequestSession* SessionOf(DevConnection*) { return nullptr; }

} // namespace kvreq

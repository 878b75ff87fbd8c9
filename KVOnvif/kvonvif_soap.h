/* SOAP context set-up shared by the search and the device service: the namespace
 * table, the limits every context gets, and parsing from a memory buffer. */
#ifndef KVONVIF_SOAP_H
#define KVONVIF_SOAP_H

#include <stddef.h>

#include "soapH.h"

namespace kvonvif {

/* The namespace table is the global `namespaces` (kvonvif_soap.cpp): the generated
 * tables lack the "dn" prefix of the Probe's Types value, and that one binds it. */

/* Limits of a received message. */
struct soap_limits {
    size_t max_message;    // bytes of one message (HTTP body or datagram)
    unsigned max_level;    // XML nesting depth
    size_t max_occurs;     // elements of one list
    long max_text;         // characters of one text value
};

/* Applies the namespace table and the limits. */
void setup_context(struct soap* soap, const soap_limits& lim);

/* Bounds one exchange of the context as a whole: it must end within total_ms of this
 * call (connect, send, answer and parse together), while each wait for the socket
 * keeps its own limit of io_ms. The runtime's own whole-transfer limit counts in
 * seconds of the wall clock and restarts its per-wait limits with every byte, so a
 * service dripping bytes could hold the caller for minutes; this watches a monotonic
 * deadline at every send and receive. A received start tag with more than
 * max_attributes attributes fails the exchange at once: the runtime's handling of an
 * element's attributes costs time quadratic in their number. Call after any hook that
 * replaces the context's send and receive functions. */
bool guard_exchange(struct soap* soap, int io_ms, int total_ms, unsigned max_attributes);

/* Makes the next receive of the context read data[0..len) instead of its socket. The
 * buffer must outlive the receive. */
struct mem_source {
    const char* data;
    size_t left;
};
void read_from_memory(struct soap* soap, mem_source* src);

} // namespace kvonvif

#endif

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

/* Makes the next receive of the context read data[0..len) instead of its socket. The
 * buffer must outlive the receive. */
struct mem_source {
    const char* data;
    size_t left;
};
void read_from_memory(struct soap* soap, mem_source* src);

} // namespace kvonvif

#endif

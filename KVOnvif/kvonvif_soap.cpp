#include "kvonvif_soap.h"

#include <errno.h>
#include <limits.h>
#include <stdint.h>
#include <time.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <new>
#include <sys/socket.h>

// The gSOAP runtime's default table is this global; every context starts with it.
SOAP_NMAC struct Namespace namespaces[] = {
    {"SOAP-ENV", "http://www.w3.org/2003/05/soap-envelope", "http://schemas.xmlsoap.org/soap/envelope/", NULL},
    {"SOAP-ENC", "http://www.w3.org/2003/05/soap-encoding", "http://schemas.xmlsoap.org/soap/encoding/", NULL},
    {"xsi", "http://www.w3.org/2001/XMLSchema-instance", "http://www.w3.org/*/XMLSchema-instance", NULL},
    {"xsd", "http://www.w3.org/2001/XMLSchema", "http://www.w3.org/*/XMLSchema", NULL},
    {"wsa", "http://schemas.xmlsoap.org/ws/2004/08/addressing", "http://www.w3.org/2005/08/addressing", NULL},
    {"wsdd", "http://schemas.xmlsoap.org/ws/2005/04/discovery", NULL, NULL},
    {"dn", "http://www.onvif.org/ver10/network/wsdl", NULL, NULL},
    {"c14n", "http://www.w3.org/2001/10/xml-exc-c14n#", NULL, NULL},
    {"ds", "http://www.w3.org/2000/09/xmldsig#", NULL, NULL},
    {"saml1", "urn:oasis:names:tc:SAML:1.0:assertion", NULL, NULL},
    {"saml2", "urn:oasis:names:tc:SAML:2.0:assertion", NULL, NULL},
    {"wsu", "http://docs.oasis-open.org/wss/2004/01/oasis-200401-wss-wssecurity-utility-1.0.xsd", NULL, NULL},
    {"xenc", "http://www.w3.org/2001/04/xmlenc#", NULL, NULL},
    {"wsc", "http://docs.oasis-open.org/ws-sx/ws-secureconversation/200512", "http://schemas.xmlsoap.org/ws/2005/02/sc", NULL},
    {"wsse", "http://docs.oasis-open.org/wss/2004/01/oasis-200401-wss-wssecurity-secext-1.0.xsd", "http://docs.oasis-open.org/wss/oasis-wss-wssecurity-secext-1.1.xsd", NULL},
    {"tt", "http://www.onvif.org/ver10/schema", NULL, NULL},
    {"tds", "http://www.onvif.org/ver10/device/wsdl", NULL, NULL},
    {NULL, NULL, NULL, NULL}};

namespace kvonvif {

namespace {

int parse_header_limited(struct soap* soap, const char* key, const char* val);

// The runtime's own header parser, taken from the first context set up.
int (*default_parse_header(struct soap* soap))(struct soap*, const char*, const char*) {
    static int (*const parse)(struct soap*, const char*, const char*) = soap->fparsehdr;
    return parse;
}

// A declared body above the message limit is refused before anything is allocated for
// it: the runtime reads the body of an error reply whole, at the length it declares.
int parse_header_limited(struct soap* soap, const char* key, const char* val) {
    // Keys compared as the runtime compares them (its match is looser than the text).
    if (key && val && soap->recv_maxlength && !soap_tag_cmp(key, "Content-Length")) {
        errno = 0;
        unsigned long long n = strtoull(val, nullptr, 10);
        if (errno == ERANGE || n > soap->recv_maxlength) return soap->error = SOAP_EOM;
    }
    return default_parse_header(soap)(soap, key, val);
}

} // namespace

void setup_context(struct soap* soap, const soap_limits& lim) {
    soap_set_namespaces(soap, ::namespaces);
    if (soap->fparsehdr != parse_header_limited) {
        default_parse_header(soap);
        soap->fparsehdr = parse_header_limited;
    }
    soap->recv_maxlength = lim.max_message;
    soap->maxlevel = lim.max_level;
    soap->maxoccurs = lim.max_occurs;
    soap->maxlength = lim.max_text;
    // A peer that closes early must not raise SIGPIPE in the caller's process.
    soap->socket_flags = MSG_NOSIGNAL;
}

namespace {

const char kGuardId[] = "kvonvif-exchange-guard";

struct exchange_guard {
    uint64_t deadline_ms;
    int io_ms;
    unsigned max_attributes;
    size_t (*frecv)(struct soap*, char*, size_t);
    int (*fsend)(struct soap*, const char*, size_t);
    // Start-tag scan across receives: 0 text, 1 inside a tag, 2 inside a quoted value.
    int state;
    char quote;
    unsigned attributes;
};

uint64_t mono_ms() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (uint64_t)ts.tv_sec * 1000u + (uint64_t)ts.tv_nsec / 1000000u;
}

exchange_guard* guard_of(struct soap* soap) {
    return static_cast<exchange_guard*>(soap_lookup_plugin(soap, kGuardId));
}

// A wait of ms for the runtime: negative microseconds where they fit an int, else
// whole seconds (rounded up), so a long time-out never wraps.
int soap_wait(int64_t ms) {
    if (ms < 1) ms = 1;
    if (ms <= INT_MAX / 1000) return -(int)(ms * 1000);
    const int64_t s = (ms + 999) / 1000;
    return s < INT_MAX ? (int)s : INT_MAX;
}

// Milliseconds left for the next wait (at most io_ms); 0 when the deadline has passed.
int next_wait_ms(const exchange_guard* g) {
    const uint64_t now = mono_ms();
    if (now >= g->deadline_ms) return 0;
    const uint64_t left = g->deadline_ms - now;
    return left < (uint64_t)g->io_ms ? (int)left : g->io_ms;
}

// True while no start tag has gone over the attribute limit.
bool scan_attributes(exchange_guard* g, const char* p, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        const char c = p[i];
        switch (g->state) {
        case 0:
            if (c == '<') {
                g->state = 1;
                g->attributes = 0;
            }
            break;
        case 1:
            if (c == '"' || c == '\'') {
                g->state = 2;
                g->quote = c;
                if (++g->attributes > g->max_attributes) return false;
            } else if (c == '>') {
                g->state = 0;
            }
            break;
        default:
            if (c == g->quote) g->state = 1;
            break;
        }
    }
    return true;
}

size_t guarded_recv(struct soap* soap, char* buf, size_t len) {
    exchange_guard* g = guard_of(soap);
    if (!g) return 0;
    const int ms = next_wait_ms(g);
    if (ms <= 0) {
        soap->errnum = ETIMEDOUT;
        return 0;
    }
    soap->recv_timeout = soap_wait(ms);
    const size_t n = g->frecv(soap, buf, len);
    if (n && !scan_attributes(g, buf, n)) {
        printf("===onvif reply refused: more than %u attributes on one element\n", g->max_attributes);
        soap->errnum = EMSGSIZE;
        return 0;
    }
    return n;
}

int guarded_send(struct soap* soap, const char* buf, size_t len) {
    exchange_guard* g = guard_of(soap);
    if (!g) return SOAP_EOF;
    const int ms = next_wait_ms(g);
    if (ms <= 0) {
        soap->errnum = ETIMEDOUT;
        return soap->error = SOAP_EOF;
    }
    soap->send_timeout = soap_wait(ms);
    return g->fsend(soap, buf, len);
}

void guard_delete(struct soap*, struct soap_plugin* p) {
    delete static_cast<exchange_guard*>(p->data);
    p->data = nullptr;
}

int guard_register(struct soap*, struct soap_plugin* p, void* arg) {
    p->id = kGuardId;
    p->data = arg;
    p->fcopy = nullptr;
    p->fdelete = guard_delete;
    return SOAP_OK;
}

} // namespace

bool guard_exchange(struct soap* soap, int io_ms, int total_ms, unsigned max_attributes) {
    if (guard_of(soap)) return false;
    exchange_guard* g = new (std::nothrow) exchange_guard{};
    if (!g) return false;
    g->deadline_ms = mono_ms() + (uint64_t)(total_ms > 0 ? total_ms : 0);
    g->io_ms = io_ms > 0 ? io_ms : 1;
    g->max_attributes = max_attributes;
    g->frecv = soap->frecv;
    g->fsend = soap->fsend;
    if (soap_register_plugin_arg(soap, guard_register, g) != SOAP_OK) {
        delete g;
        return false;
    }
    soap->frecv = guarded_recv;
    soap->fsend = guarded_send;
    // The connect is one wait too; the whole-exchange limit of the runtime (whole
    // seconds, rounded up so that it never fires before ours) stays as a second line.
    soap->connect_timeout = soap_wait(total_ms < g->io_ms ? total_ms : g->io_ms);
    soap->recv_timeout = soap_wait(g->io_ms);
    soap->send_timeout = soap_wait(g->io_ms);
    const int64_t whole = ((int64_t)(total_ms > 0 ? total_ms : 0) + 999) / 1000 + 1;
    soap->transfer_timeout = whole < INT_MAX ? (int)whole : INT_MAX;
    return true;
}

static size_t mem_frecv(struct soap* soap, char* buf, size_t len) {
    mem_source* src = static_cast<mem_source*>(soap->user);
    if (!src) return 0;
    size_t n = len < src->left ? len : src->left;
    memcpy(buf, src->data, n);
    src->data += n;
    src->left -= n;
    return n;
}

void read_from_memory(struct soap* soap, mem_source* src) {
    soap->user = src;
    soap->frecv = mem_frecv;
}

} // namespace kvonvif

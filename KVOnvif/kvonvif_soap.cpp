#include "kvonvif_soap.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>
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

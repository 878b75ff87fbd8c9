// OVC address records and the conversions between them, socket addresses and text.
#pragma once

#include <netinet/in.h>
#include <stddef.h>
#include <stdint.h>
#include <sys/socket.h>

#include "orvan_platform.h"

// Carried inside session records and message bodies, so its layout is fixed.
struct ovc_netaddr_t {
  uint8_t flag;  // 0 IPv4, 1 IPv6
  uint8_t reserved;
  uint16_t port;  // byte order as the producer gave it
  uint8_t addr[16];
};
static_assert(sizeof(ovc_netaddr_t) == 20, "ovc_netaddr_t is 20 bytes");

struct ovc_host_node_t {
  ovc_netaddr_t addr;
  ovc_host_node_t* prev;
  ovc_host_node_t* next;
};

struct ovc_host_list_t {
  int32_t count;
  orv_mutex_t mutex;
  ovc_host_node_t* head;  // circular; new nodes go in front of the head, that is at the tail
};

int ovc_netaddr_put_content(const char* host, uint16_t port, ovc_netaddr_t* out);
int ovc_netaddr_get_content(const ovc_netaddr_t* addr, int size, char* text, uint16_t* port,
                            uint8_t* flag);
int ovc_sockaddr_to_ip_addr(const sockaddr_in* sa, int nat64, ovc_netaddr_t* out);
int ovc_sockaddr_to_ip_string(const sockaddr_in* sa, size_t size, char* out);
// text is in and out; size is the caller's buffer (at least 16 for a dotted IPv4 text).
int ovc_convert_to_IPv4_addr(char* text, size_t size);

int ovc_lookup_host(const char* name, ovc_host_list_t** first, ovc_host_list_t** second);
int ovc_free_host_list(ovc_host_list_t* list);
int orv_lookup_hostname(const char* name, sockaddr_in* out);

// transport 0 TCP, 1 UDP; port in network byte order.
int orv_host_get_sockaddr(const char* host, int transport, uint16_t port, sockaddr_storage* out);
int orv_sockaddr_get_content(const sockaddr* sa, int size, char* text, uint16_t* port);
int orv_sockaddr_get_name(const sockaddr* sa, int size, char* text);
int orv_ipaddr_str2bin(const char* text, sockaddr_in* out);
int orv_sockaddr_get_scope_id();
// Forgets the cached scope id (tests, and a change of interfaces).
void orv_sockaddr_reset_scope_id();

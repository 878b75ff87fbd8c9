// Configuration of the address lookups: the directory service's host names and the
// lookup ports. Defaults lie under reserved test domains, so nothing built in can make a
// lookup reach a real name server; deployments and tests set their own.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

// The eight host names of the directory service (two domains, each under two top-level
// domains, each with and without a prefix).
std::vector<std::string> kv_resolve_default_dir_hosts();
// Replaces the list; an empty list brings the defaults back.
void kv_resolve_set_dir_hosts(const std::vector<std::string>& hosts);
// Exact, case-sensitive membership; false for an empty text.
bool kv_resolve_is_dir_host(const std::string& host);

// Ports of the HTTP lookups (80) and the directory query (7026); 0 restores the
// default. For loopback benchmarks and tests only.
void kv_resolve_set_ports(uint16_t http, uint16_t dir);
uint16_t kv_resolve_http_port();
uint16_t kv_resolve_dir_port();

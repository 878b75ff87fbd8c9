// A NAT-client process for the namespace tests: starts one instance, prints a JSON line
// whenever its registration state changes, and answers commands on stdin:
//   query UUID     -> {"query": rc, "addr": "...", "params": "hex"}
//   quit (or EOF)  -> exits
// Usage: vvnat_probe [--inst 1|2] [--server ADDR] [--port P] [--uuid ID[@KEY]] [--scale K]
//                    [--params HEX] [--svrkey K] [--resolver literal]
// --resolver literal answers address texts only, so no name (the NAT64 probe among them)
// waits for a resolver that the namespace cannot reach.
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <string>

#include <arpa/inet.h>

#include "vv_instance.h"
#include "vv_nat.h"
#include "vv_socket.h"

namespace {

long long mono_ms() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

int literal_only(const char* host, int family, sockaddr_storage* out, int max, void*) {
  if (max < 1) return 0;
  memset(out, 0, sizeof(*out));
  out->ss_family = static_cast<sa_family_t>(family);
  void* a = family == AF_INET ? static_cast<void*>(&reinterpret_cast<sockaddr_in*>(out)->sin_addr)
                              : static_cast<void*>(&reinterpret_cast<sockaddr_in6*>(out)->sin6_addr);
  return inet_pton(family, host, a) == 1 ? 1 : 0;
}

std::string hex(const unsigned char* p, int n) {
  std::string s;
  char b[3];
  for (int i = 0; i < n; ++i) {
    snprintf(b, sizeof(b), "%02x", p[i]);
    s += b;
  }
  return s;
}

}  // namespace

int main(int argc, char** argv) {
  int inst = 1, port = 7000, scale = 1;
  const char* server = "203.0.113.10";
  const char* uuid = nullptr;
  const char* svrkey = nullptr;
  std::string params;
  for (int i = 1; i + 1 < argc; i += 2) {
    std::string k = argv[i];
    const char* v = argv[i + 1];
    if (k == "--inst") inst = atoi(v);
    else if (k == "--server") server = v;
    else if (k == "--port") port = atoi(v);
    else if (k == "--uuid") uuid = v;
    else if (k == "--scale") scale = atoi(v);
    else if (k == "--svrkey") svrkey = v;
    else if (k == "--resolver" && strcmp(v, "literal") == 0) vv_set_resolver(literal_only, nullptr);
    else if (k == "--params") {
      for (size_t j = 0; j + 1 < strlen(v); j += 2) params += static_cast<char>(strtol(std::string(v + j, 2).c_str(), nullptr, 16));
    }
  }
  vv_nat_set_time_scale(scale);
  auto init = inst == 2 ? vv2_nat_init : vv_nat_init;
  auto query = inst == 2 ? vv2_nat_query : vv_nat_query;
  auto status = inst == 2 ? vv2_nat_get_status : vv_nat_get_status;
  if (!init(server, port, uuid, 0, nullptr)) {
    printf("{\"error\": \"init\"}\n");
    return 1;
  }
  // Init clears the state: configuration comes after it.
  if (svrkey) (inst == 2 ? vv2_nat_set_server_key : vv_nat_set_server_key)(svrkey);
  if (!params.empty())
    (inst == 2 ? vv2_nat_set_param : vv_nat_set_param)(params.data(), static_cast<int>(params.size()));
  VvInstance& in = vv_instance(inst);
  long long t0 = mono_ms();
  std::string last;
  char line[512];
  size_t have = 0;
  for (;;) {
    char snap[512];
    {
      int st = status();
      std::lock_guard<std::mutex> lock(in.mu);
      const vv_nat_state& s = in.st;
      snprintf(snap, sizeof(snap),
               "\"status\": %d, \"nattype\": %d, \"svrnum\": %d, \"checksvrs\": %d, \"auth_ok\": %d, "
               "\"port\": %d, \"offset\": %d, \"uuid\": \"%s\", \"hb_interval\": %d, \"spoofed\": %d, "
               "\"key_invalid\": %d, \"pwcheck\": %d, \"svrip4\": \"%s\"",
               st, s.nattype, s.svrnum, s.checksvrs, s.auth_ok, s.port, s.svrport_offset, s.uuid,
               s.hb_interval, s.spoofed, s.key_invalid, s.pwcheck, s.svrip4);
    }
    if (last != snap) {
      last = snap;
      printf("{\"t\": %lld, %s}\n", mono_ms() - t0, snap);
      fflush(stdout);
    }
    pollfd p{0, POLLIN, 0};
    if (poll(&p, 1, 20) <= 0) continue;
    ssize_t got = read(0, line + have, sizeof(line) - 1 - have);
    if (got <= 0) break;
    have += static_cast<size_t>(got);
    line[have] = '\0';
    char* nl;
    bool quit = false;
    while ((nl = strchr(line, '\n')) != nullptr) {
      *nl = '\0';
      if (strncmp(line, "query ", 6) == 0) {
        int run = 1;
        unsigned char info[1024] = {};
        char addr[64] = "";
        int rc = query(line + 6, 2, &run, reinterpret_cast<char*>(info), sizeof(info), addr, sizeof(addr));
        int n = 0;
        for (int i = 0; i < 1024; ++i)
          if (info[i]) n = i + 1;
        printf("{\"query\": %d, \"addr\": \"%s\", \"params\": \"%s\"}\n", rc, addr, hex(info, n).c_str());
        fflush(stdout);
      } else if (strcmp(line, "quit") == 0) {
        quit = true;
      }
      size_t rest = have - static_cast<size_t>(nl + 1 - line);
      memmove(line, nl + 1, rest);
      have = rest;
      line[have] = '\0';
    }
    if (quit || have >= sizeof(line) - 1) break;
  }
  (inst == 2 ? vv2_nat_exit : vv_nat_exit)();
  return 0;
}

// Socket helpers shared by both instances of the VERov library: plain functions over int
// descriptors (0 stands for no socket), results 1/0, counts or small negative numbers.
// Time-outs are microseconds unless a function says otherwise; ports are host order.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>

// Name lookup goes through one replaceable resolver so that tests and namespaces decide
// where a name may be asked. It writes up to `max` addresses of `family` (AF_INET: sockaddr_in,
// AF_INET6: sockaddr_in6, port 0) and returns how many; 0 when the name does not resolve.
typedef int (*vv_resolver_fn)(const char* host, int family, struct sockaddr_storage* out, int max,
                              void* ctx);
// NULL restores the built-in resolver, which answers literal addresses and "localhost" itself
// and asks the system resolver only inside a private network namespace.
void vv_set_resolver(vv_resolver_fn fn, void* ctx);
// 1 when this process runs in a network namespace other than the machine's initial one.
int vv_in_private_netns(void);
// The well-known name whose AAAA answer reveals a NAT64 prefix.
extern const char* const vv_nat64_probe_name;

// Complete sends wait for a full socket buffer in steps; both figures are injectable so a
// test of the give-up path does not take seconds. Defaults: 600 steps of 5 ms.
void vv_sock_set_send_retry(int max_retries, int step_ms);

// A literal address and a port (host order) as a socket address; 0 for an empty or
// unparsable text.
int vv_ip4_of(const char* text, unsigned short port, struct sockaddr_in* out);
int vv_ip6_of(const char* text, unsigned short port, struct sockaddr_in6* out);

int CreateSocket(int type);
int CreateSocket6(int type);
void CloseSocket(int* fd);
int SetNonBlock(int fd);
int SetBlock(int fd);
int Set_Broadcast(int fd);
int Set_Multicast(int fd);
int Join_MultiCast(int fd, const char* group);
int Quit_MultiCast(int fd, const char* group);
int Set_Socket_Bufsize(int fd, int sndsize, int rcvsize);
void Get_Socket_Bufsize(int fd);
int Get_Socket_Err(int fd);

int Bind(int fd, unsigned short port, const char* addr);
int Listen(unsigned short port, const char* addr);
int UdpListen(unsigned short port);
int UdpListen6(unsigned short port);
int Accept(int fd, struct sockaddr_in* addr);
int AcceptEx(int fd, struct sockaddr_in* addr, long timeout_us);

int Connect(int fd, const char* host, unsigned short port, int seconds);
int Connect_NonBlock(int fd, const char* host, unsigned short port);

int blockUntilReadable(int fd, const struct timeval* timeout);
int blockUntilReadable0(int fd, long timeout_us);
int Recv(int fd, void* buf, int size, long timeout_us);
int RecvFrom(int fd, void* buf, int size, struct sockaddr_in* from, long timeout_us);

int Send(int fd, const void* data, int len);
int SendToA(int fd, const void* data, int len, const struct sockaddr_in* to);
int SendToA6(int fd, const void* data, int len, const struct sockaddr_in6* to);
int SendTo(int fd, const void* data, int len, const char* host, unsigned short port);
int SendTo6(int fd, const void* data, int len, const char* host, unsigned short port);
int SendBroadCast(int fd, const void* data, int len, unsigned short port);

int is_ipaddr(const char* text);
int GetHostByName(const char* host, unsigned short port, struct sockaddr_in* out);
int GetHostByName6(const char* host, unsigned short port, struct sockaddr_in6* out);
int GetHostByName64(const char* ipv4, unsigned short port, struct sockaddr_in6* out);
int GetHostByNameV2(const char* host, char* out, int size);
int GetHostByName6V2(const char* host, char* out, int size);
char* sockaddr_tran(const struct sockaddr* addr, int addrlen, char* out, int size,
                    unsigned short* port);
const char* inet_ntop_ex(int family, const void* addr, char* text, int size);
int inet_pton_ex(int family, const char* text, void* addr);

unsigned int GetIfIP(const char* ifname);
int Get_local_ips(char* out, int size);
int GetMacAddrs(void* out, int size);

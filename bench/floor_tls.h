/* The TLS floor client (floor_tls.c), callable from the C++ bench programs. */
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

/* The Schannel credential, once per process as the program keeps its own. Nonzero on success. */
int floor_tls_start(void);
/* One exchange with the TLS server on 127.0.0.1:PORT: nonzero when the reply holds EXPECTED. */
int floor_tls_exchange(unsigned short port, const char* request, int request_length, const char* expected);

#ifdef __cplusplus
}
#endif

/* The floor of a one-shot update: a static C program that connects to the server, sends the
 * same request as quorveld and reads the reply to the close. A process start plus one loopback
 * exchange; nothing else. usage: floor_client PORT IDENTIFIER */
#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

int main(int argc, char** argv) {
  if (argc != 3) return 2;
  const int port = atoi(argv[1]);
  char request[512];
  const int length = snprintf(request, sizeof request,
                              "GET /update?ip_key=%s HTTP/1.0\r\nHost: 127.0.0.1:%d\r\n\r\n", argv[2], port);
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  struct sockaddr_in server = {0};
  server.sin_family = AF_INET;
  server.sin_port = htons((unsigned short)port);
  server.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (fd < 0 || connect(fd, (struct sockaddr*)&server, sizeof server) != 0) return 1;
  if (send(fd, request, (size_t)length, 0) != length) return 1;
  char reply[4096];
  size_t got = 0;
  for (ssize_t n; (n = recv(fd, reply + got, sizeof reply - 1 - got, 0)) > 0;) got += (size_t)n;
  reply[got] = '\0';
  close(fd);
  return strstr(reply, "<!-- OSKEL_START_HTML -->found") != NULL ? 0 : 1;
}

// A load generator for bench/service.sh: like ab (one thread, epoll, HTTP/1.0, one request
// per connection, as Quorvel's clients send them), but each request takes the next line of a
// file, so that the load spreads over many names. A line is "PATH" or "PATH FORWARDED-FOR"
// (sent as an X-Forwarded-For header).
//   loadgen ADDR PORT FILE COUNT CLIENTS
// Prints one line: requests=N seconds=S rps=R p50_ms= p90_ms= p99_ms= max_ms= errors=E non200=F
// Latency is from the connect to the server's close, as the client sees a whole update.
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

struct slot {
  int fd;
  long request;   // index of the request in flight
  size_t sent;    // bytes of it written
  double start;   // when its connect began
  char head[16];  // the first bytes of the reply, for the status
  size_t headLength;
};

static char** requests;
static size_t* lengths;
static long lineCount;
static struct sockaddr_in server;
static int epoll;

static double Now(void) {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return t.tv_sec + t.tv_nsec / 1e9;
}

static int CompareDoubles(const void* a, const void* b) {
  double x = *(const double*)a, y = *(const double*)b;
  return x < y ? -1 : x > y;
}

static void ReadLines(const char* path, const char* host) {
  FILE* in = fopen(path, "r");
  if (!in) {
    perror(path);
    exit(2);
  }
  size_t capacity = 1024;
  requests = malloc(capacity * sizeof *requests);
  lengths = malloc(capacity * sizeof *lengths);
  char* line = NULL;
  size_t size = 0;
  while (getline(&line, &size, in) > 0) {
    char path_[2048] = "", forwarded[256] = "";
    if (sscanf(line, "%2047s %255s", path_, forwarded) < 1) continue;
    if ((size_t)lineCount == capacity) {
      capacity *= 2;
      requests = realloc(requests, capacity * sizeof *requests);
      lengths = realloc(lengths, capacity * sizeof *lengths);
    }
    char* request = NULL;
    int n = forwarded[0] ? asprintf(&request, "GET %s HTTP/1.0\r\nHost: %s\r\nX-Forwarded-For: %s\r\n\r\n",
                                    path_, host, forwarded)
                         : asprintf(&request, "GET %s HTTP/1.0\r\nHost: %s\r\n\r\n", path_, host);
    if (n < 0) exit(2);
    requests[lineCount] = request;
    lengths[lineCount++] = (size_t)n;
  }
  free(line);
  fclose(in);
  if (lineCount == 0) {
    fprintf(stderr, "%s: no requests\n", path);
    exit(2);
  }
}

// Opens the connection of the slot's next request; -1 when it could not.
static int Start(struct slot* s, long request) {
  s->fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
  if (s->fd < 0) return -1;
  s->request = request;
  s->sent = 0;
  s->headLength = 0;
  s->start = Now();
  if (connect(s->fd, (struct sockaddr*)&server, sizeof server) < 0 && errno != EINPROGRESS) {
    close(s->fd);
    return -1;
  }
  struct epoll_event e = {.events = EPOLLOUT | EPOLLIN | EPOLLRDHUP, .data.ptr = s};
  epoll_ctl(epoll, EPOLL_CTL_ADD, s->fd, &e);
  return 0;
}

int main(int argc, char** argv) {
  if (argc != 6) {
    fprintf(stderr, "usage: loadgen ADDR PORT FILE COUNT CLIENTS\n");
    return 2;
  }
  server.sin_family = AF_INET;
  server.sin_port = htons((unsigned short)atoi(argv[2]));
  if (inet_pton(AF_INET, argv[1], &server.sin_addr) != 1) {
    fprintf(stderr, "bad address\n");
    return 2;
  }
  char host[300];
  snprintf(host, sizeof host, "%s:%s", argv[1], argv[2]);
  ReadLines(argv[3], host);
  const long count = atol(argv[4]);
  int clients = atoi(argv[5]);
  if (count <= 0 || clients <= 0) return 2;
  if (clients > count) clients = (int)count;

  double* latency = malloc(count * sizeof *latency);
  struct slot* slots = calloc(clients, sizeof *slots);
  epoll = epoll_create1(0);
  long issued = 0, done = 0, errors = 0, non200 = 0;
  const double begin = Now();
  for (int i = 0; i < clients; ++i) {
    while (Start(&slots[i], issued) < 0) {
      ++errors;
      usleep(1000);
    }
    ++issued;
  }
  struct epoll_event events[256];
  while (done < count) {
    int n = epoll_wait(epoll, events, 256, 10000);
    if (n <= 0) {
      fprintf(stderr, "no progress for 10 s\n");
      return 1;
    }
    for (int k = 0; k < n; ++k) {
      struct slot* s = events[k].data.ptr;
      int finished = 0, failed = 0;
      if (s->sent < lengths[s->request % lineCount] && (events[k].events & EPOLLOUT)) {
        const char* r = requests[s->request % lineCount];
        ssize_t w = send(s->fd, r + s->sent, lengths[s->request % lineCount] - s->sent, MSG_NOSIGNAL);
        if (w > 0) {
          s->sent += (size_t)w;
          if (s->sent == lengths[s->request % lineCount]) {
            struct epoll_event e = {.events = EPOLLIN | EPOLLRDHUP, .data.ptr = s};
            epoll_ctl(epoll, EPOLL_CTL_MOD, s->fd, &e);
          }
        } else if (w < 0 && errno != EAGAIN) {
          failed = 1;
        }
      }
      if (!failed && (events[k].events & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR))) {
        char buffer[4096];
        for (;;) {
          ssize_t r = recv(s->fd, buffer, sizeof buffer, 0);
          if (r > 0) {
            size_t take = sizeof s->head - s->headLength;
            if (take > (size_t)r) take = (size_t)r;
            memcpy(s->head + s->headLength, buffer, take);
            s->headLength += take;
          } else if (r == 0) {
            finished = 1;
            break;
          } else {
            if (errno != EAGAIN) failed = 1;
            break;
          }
        }
      }
      if (!finished && !failed) continue;
      epoll_ctl(epoll, EPOLL_CTL_DEL, s->fd, NULL);
      close(s->fd);
      if (failed || s->headLength < 12) {
        ++errors;
      } else if (memcmp(s->head + 9, "200", 3) != 0) {
        ++non200;
      }
      latency[done++] = Now() - s->start;
      if (issued < count) {
        while (Start(s, issued) < 0) {
          ++errors;
          usleep(1000);
        }
        ++issued;
      }
    }
  }
  const double seconds = Now() - begin;
  qsort(latency, count, sizeof *latency, CompareDoubles);
#define P(q) (latency[(long)((q) * (count - 1))] * 1000)
  printf(
      "requests=%ld seconds=%.3f rps=%.0f p50_ms=%.3f p90_ms=%.3f p99_ms=%.3f max_ms=%.3f errors=%ld "
      "non200=%ld\n",
      count, seconds, count / seconds, P(0.50), P(0.90), P(0.99), latency[count - 1] * 1000, errors, non200);
  return 0;
}

/* The limit of a stop-and-wait transfer on this machine, in the shape of a download: a sender
   process (in qorctl's place) sends one 1044-byte request at a time and waits for its 20-byte
   answer, from a responder process forked from it (in qor-sim's place) that answers each at
   once, both blocking on plain sendto/recvfrom. Both keep to one core, where a blocking round
   trip is the cheapest (a wake-up on the waker's core: across two cores a round trip took from
   a tenth more to several times as long on the machines measured). Prints the seconds the
   round trips took.
   usage: stop_and_wait [REQUESTS [REQUEST_BYTES [REPLY_BYTES]]] (default 1024 1044 20) */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sched.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

static double Now(void) {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return (double)t.tv_sec + (double)t.tv_nsec / 1e9;
}

static int Bound(struct sockaddr_in* where) {
  int s = socket(AF_INET, SOCK_DGRAM, 0);
  socklen_t length = sizeof *where;
  memset(where, 0, sizeof *where);
  where->sin_family = AF_INET;
  where->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (s < 0 || bind(s, (struct sockaddr*)where, sizeof *where) != 0 ||
      getsockname(s, (struct sockaddr*)where, &length) != 0) {
    perror("socket");
    exit(1);
  }
  return s;
}

int main(int argc, char** argv) {
  const int requests = argc > 1 ? atoi(argv[1]) : 1024;
  const int requestBytes = argc > 2 ? atoi(argv[2]) : 1044;
  const int replyBytes = argc > 3 ? atoi(argv[3]) : 20;
  unsigned char buffer[65536];
  struct sockaddr_in responderAddress, senderAddress;
  const int responder = Bound(&responderAddress);
  const int sender = Bound(&senderAddress);
  if (requests < 1 || requestBytes < 1 || replyBytes < 1 || requestBytes > 65000 ||
      replyBytes > 65000) {
    fprintf(stderr, "usage: stop_and_wait [REQUESTS [REQUEST_BYTES [REPLY_BYTES]]]\n");
    return 2;
  }
  memset(buffer, 0x5A, sizeof buffer);
  cpu_set_t allowed;
  if (sched_getaffinity(0, sizeof allowed, &allowed) == 0) {
    for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
      if (!CPU_ISSET(cpu, &allowed)) continue;
      cpu_set_t one;
      CPU_ZERO(&one);
      CPU_SET(cpu, &one);
      sched_setaffinity(0, sizeof one, &one); /* the responder, forked next, keeps it too */
      break;
    }
  }

  pid_t child = fork();
  if (child == 0) {
    for (;;) {
      struct sockaddr_in from;
      socklen_t fromLength = sizeof from;
      if (recvfrom(responder, buffer, sizeof buffer, 0, (struct sockaddr*)&from, &fromLength) < 0)
        _exit(1);
      sendto(responder, buffer, (size_t)replyBytes, 0, (struct sockaddr*)&from, fromLength);
    }
  }
  const double start = Now();
  for (int i = 0; i < requests; ++i) {
    if (sendto(sender, buffer, (size_t)requestBytes, 0, (struct sockaddr*)&responderAddress,
               sizeof responderAddress) != requestBytes ||
        recv(sender, buffer, sizeof buffer, 0) != replyBytes) {
      perror("round trip");
      kill(child, SIGTERM);
      return 1;
    }
  }
  const double seconds = Now() - start;
  kill(child, SIGTERM);
  waitpid(child, NULL, 0);
  printf("%.6f\n", seconds);
  return 0;
}

/* The fastest exchange of the same shape we know how to write: a client process (in qorctl's
   place) sends 1044-byte requests of 1024 payload bytes and a server process (in qor-sim's
   place) answers each with 20 bytes, as in a download. Unlike stop_and_wait, neither end ever
   sleeps: each polls its one socket with non-blocking calls in a loop, never sleeping, takes in
   up to 64 datagrams per recvmmsg and sends its answers with one sendmmsg. Each end keeps a core
   of its own where it may have two: left to the scheduler, the two often took turns on one
   core, and a run took anything from one to two times its best. Where they must share one,
   each yields the processor when nothing came. TRANSFERS transfers are in flight at once, each
   with one request outstanding (a target's download), and the server copies each payload into
   that transfer's memory image, as the simulator does. The answer carries the image's byte at
   the payload's end, which the client checks: the copy cannot be left out.
   Prints the seconds from the first request to the last answer.
   usage: polled_exchange [TRANSFERS [REQUESTS [REQUEST_BYTES [REPLY_BYTES]]]]
          (default 1 1024 1044 20: one transfer of 1 MiB) */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <sched.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

enum { kBatch = 64, kMaxBytes = 2048, kHeader = 12 };

static double Now(void) {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return (double)t.tv_sec + (double)t.tv_nsec / 1e9;
}

static int Bound(struct sockaddr_in* where) {
  int s = socket(AF_INET, SOCK_DGRAM, 0);
  socklen_t length = sizeof *where;
  const int buffer = 4 * 1024 * 1024;
  memset(where, 0, sizeof *where);
  where->sin_family = AF_INET;
  where->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (s < 0 || bind(s, (struct sockaddr*)where, sizeof *where) != 0 ||
      getsockname(s, (struct sockaddr*)where, &length) != 0) {
    perror("socket");
    exit(1);
  }
  /* Room for every transfer's request at once, as QOR's sockets ask for. */
  setsockopt(s, SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer);
  return s;
}

/* A request: transfer, sequence number, payload offset (each 32 bits), then the payload. */
static void Put32(unsigned char* at, uint32_t value) { memcpy(at, &value, 4); }
static uint32_t Get32(const unsigned char* at) {
  uint32_t value;
  memcpy(&value, at, 4);
  return value;
}

struct Batch {
  unsigned char bytes[kBatch][kMaxBytes];
  struct iovec vectors[kBatch];
  struct mmsghdr headers[kBatch];
  struct sockaddr_in peers[kBatch];
};

static void Prepare(struct Batch* batch) {
  memset(batch->headers, 0, sizeof batch->headers);
  for (int i = 0; i < kBatch; ++i) {
    batch->vectors[i].iov_base = batch->bytes[i];
    batch->vectors[i].iov_len = kMaxBytes;
    batch->headers[i].msg_hdr.msg_iov = &batch->vectors[i];
    batch->headers[i].msg_hdr.msg_iovlen = 1;
    batch->headers[i].msg_hdr.msg_name = &batch->peers[i];
    batch->headers[i].msg_hdr.msg_namelen = sizeof batch->peers[i];
  }
}

/* Whether this end shares its core with the other: set once, before the loop. */
static int sharing = 1;

/* Pins the calling process to the index-th core it may run on; false where there is none. */
static int KeepCore(const cpu_set_t* allowed, int index) {
  for (int cpu = 0, seen = 0; cpu < CPU_SETSIZE; ++cpu) {
    if (!CPU_ISSET(cpu, allowed) || seen++ != index) continue;
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(cpu, &one);
    return sched_setaffinity(0, sizeof one, &one) == 0;
  }
  return 0;
}

/* Takes in what waits, up to a batch; when nothing does, returns 0, first giving the processor
   to whoever waits for it if the peer may be on this core. Never a sleep: a peer that shares
   this core runs now instead of after our slice. */
static int ReceiveSome(int s, struct Batch* in) {
  for (int i = 0; i < kBatch; ++i) {
    in->vectors[i].iov_len = kMaxBytes;
    in->headers[i].msg_hdr.msg_namelen = sizeof in->peers[i];
  }
  const int got = recvmmsg(s, in->headers, kBatch, MSG_DONTWAIT, NULL);
  if (got > 0) return got;
  if (sharing) sched_yield();
  return 0;
}

/* Sends count prepared datagrams, trying again while the queue is full. */
static int SendAll(int s, struct mmsghdr* headers, int count) {
  for (int first = 0; first < count;) {
    const int sent = sendmmsg(s, headers + first, (unsigned)(count - first), MSG_DONTWAIT);
    if (sent > 0) {
      first += sent;
    } else if (sent < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != ENOBUFS) {
      return -1;
    }
  }
  return 0;
}

static void Serve(int s, int transfers, int requests, int replyBytes) {
  const size_t imageSize = (size_t)requests * kMaxBytes;
  unsigned char** images = calloc((size_t)transfers, sizeof *images);
  static struct Batch in, out;
  for (int t = 0; t < transfers; ++t) images[t] = calloc(imageSize, 1);
  Prepare(&in);
  Prepare(&out);
  for (;;) {
    const int got = ReceiveSome(s, &in);
    if (got == 0) continue;
    for (int i = 0; i < got; ++i) {
      const unsigned char* request = in.bytes[i];
      const size_t length = in.headers[i].msg_len;
      const uint32_t transfer = Get32(request);
      const uint32_t offset = Get32(request + 8);
      const size_t payload = length - kHeader;
      unsigned char* reply = out.bytes[i];
      if (length < kHeader || transfer >= (uint32_t)transfers || offset > imageSize - payload) {
        _exit(1);
      }
      memcpy(images[transfer] + offset, request + kHeader, payload);
      memset(reply, 0, (size_t)replyBytes);
      memcpy(reply, request, 8);
      reply[8] = images[transfer][offset + payload - 1];
      out.peers[i] = in.peers[i];
      out.vectors[i].iov_len = (size_t)replyBytes;
      out.headers[i].msg_hdr.msg_namelen = in.headers[i].msg_hdr.msg_namelen;
    }
    if (SendAll(s, out.headers, got) != 0) _exit(1);
  }
}

int main(int argc, char** argv) {
  const int transfers = argc > 1 ? atoi(argv[1]) : 1;
  const int requests = argc > 2 ? atoi(argv[2]) : 1024;
  const int requestBytes = argc > 3 ? atoi(argv[3]) : 1044;
  const int replyBytes = argc > 4 ? atoi(argv[4]) : 20;
  if (transfers < 1 || transfers > kBatch || requests < 1 || requestBytes <= kHeader ||
      requestBytes > kMaxBytes || replyBytes < kHeader || replyBytes > kMaxBytes) {
    fprintf(stderr,
            "usage: polled_exchange [TRANSFERS [REQUESTS [REQUEST_BYTES [REPLY_BYTES]]]]\n"
            "TRANSFERS 1 to %d, REQUEST_BYTES %d to %d, REPLY_BYTES %d to %d\n",
            kBatch, kHeader + 1, kMaxBytes, kHeader, kMaxBytes);
    return 2;
  }
  struct sockaddr_in serverAddress, clientAddress;
  const int server = Bound(&serverAddress);
  const int client = Bound(&clientAddress);
  cpu_set_t allowed;
  const int twoCores =
      sched_getaffinity(0, sizeof allowed, &allowed) == 0 && CPU_COUNT(&allowed) >= 2;
  const pid_t child = fork();
  if (child == 0) {
    /* A server that outlives its client would spin for ever. */
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    close(client);
    sharing = !(twoCores && KeepCore(&allowed, 1));
    Serve(server, transfers, requests, replyBytes);
  }
  close(server);
  sharing = !(twoCores && KeepCore(&allowed, 0));

  static struct Batch in, out;
  int* sent = calloc((size_t)transfers, sizeof *sent);
  Prepare(&in);
  Prepare(&out);
  const size_t payload = (size_t)(requestBytes - kHeader);
  /* One request of a transfer into out's slot: its payload differs from request to request. */
  int pending = 0;
  const double start = Now();
#define QUEUE(t)                                                      \
  do {                                                                \
    unsigned char* request = out.bytes[pending];                      \
    Put32(request, (uint32_t)(t));                                    \
    Put32(request + 4, (uint32_t)sent[t]);                            \
    Put32(request + 8, (uint32_t)((size_t)sent[t] * payload));        \
    memset(request + kHeader, (sent[t] * 131 + (t)) & 0xFF, payload); \
    out.peers[pending] = serverAddress;                               \
    out.vectors[pending].iov_len = (size_t)requestBytes;              \
    out.headers[pending].msg_hdr.msg_namelen = sizeof serverAddress;  \
    ++sent[t];                                                        \
    ++pending;                                                        \
  } while (0)
  for (int t = 0; t < transfers; ++t) QUEUE(t);
  int answered = 0;
  const int total = transfers * requests;
  int failed = SendAll(client, out.headers, pending) != 0;
  while (!failed && answered < total) {
    const int got = ReceiveSome(client, &in);
    if (got == 0) continue;
    pending = 0;
    for (int i = 0; i < got && !failed; ++i) {
      const unsigned char* reply = in.bytes[i];
      const uint32_t t = Get32(reply);
      if (in.headers[i].msg_len != (unsigned)replyBytes || t >= (uint32_t)transfers ||
          Get32(reply + 4) != (uint32_t)(sent[t] - 1) ||
          reply[8] != (unsigned char)(((sent[t] - 1) * 131 + (int)t) & 0xFF)) {
        failed = 1;
        break;
      }
      ++answered;
      if (sent[t] < requests) QUEUE(t);
    }
    if (!failed && SendAll(client, out.headers, pending) != 0) failed = 1;
  }
  const double seconds = Now() - start;
  kill(child, SIGTERM);
  waitpid(child, NULL, 0);
  if (failed) {
    fprintf(stderr, "polled_exchange: a wrong answer or a failed send\n");
    return 1;
  }
  printf("%.6f\n", seconds);
  return 0;
}

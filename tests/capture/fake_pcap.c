/* A stand-in capture library for tests: two devices, a loop that delivers a few frames and then waits
 * for a break. Built three times: complete, without pcap_breakloop, and with the open-in-steps calls
 * and pcap_stats (FAKE_PCAP_TUNABLE). */
#include <pcap/pcap.h>
#include <pthread.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

struct pcap {
  int buffer_size;
  int broken;
  pthread_mutex_t m;
  pthread_cond_t c;
};

static pcap_if_t dev2 = {NULL, "eth-test", "Test Ethernet", NULL, 0};
static pcap_if_t dev1 = {&dev2, "lo-test", "Test loopback", NULL, 0};
int fake_freed = 0;

int pcap_findalldevs(pcap_if_t** list, char* err) {
  if (getenv("FAKE_PCAP_ENUM_FAILS")) {
    strcpy(err, "enumeration failed");
    return -1;
  }
  *list = &dev1;
  return 0;
}

void pcap_freealldevs(pcap_if_t* list) {
  (void)list;
  ++fake_freed;
}

int fake_open_live_calls_total = 0;

pcap_t* pcap_open_live(const char* dev, int snap, int promisc, int ms, char* err) {
  ++fake_open_live_calls_total;
  (void)snap;
  (void)ms;
  if (promisc != 0 || strcmp(dev, "eth-test") == 0) {
    strcpy(err, "eth-test: You don't have permission to capture on that device");
    return NULL;
  }
  pcap_t* p = calloc(1, sizeof *p);
  pthread_mutex_init(&p->m, NULL);
  pthread_cond_init(&p->c, NULL);
  return p;
}

/* One outbound TCP frame from 192.168.1.5 to 10.0.0.1:80 carrying a request line. */
static const char kRequest[] = "GET /a.mp3 HTTP/1.1\r\nHost: h.example\r\n\r\n";

int pcap_loop(pcap_t* p, int cnt, pcap_handler cb, u_char* user) {
  (void)cnt;
  unsigned char frame[128] = {0};
  frame[12] = 0x08;
  frame[14] = 0x45;
  frame[23] = 6;
  frame[26] = 192, frame[27] = 168, frame[28] = 1, frame[29] = 5;
  frame[30] = 10, frame[33] = 1;
  frame[34] = 0x04, frame[35] = 0xD2;
  frame[36] = 0, frame[37] = 80;
  size_t n = strlen(kRequest);
  memcpy(frame + 54, kRequest, n);
  struct pcap_pkthdr h;
  memset(&h, 0, sizeof h);
  h.caplen = h.len = (bpf_u_int32)(54 + n);
  cb(user, &h, frame);
  if (getenv("FAKE_PCAP_DEAF")) {
    /* A device whose read only a signal interrupts: the break alone never wakes it. */
    while (!__atomic_load_n(&p->broken, __ATOMIC_SEQ_CST)) pause();
    p->broken = 0;
    return PCAP_ERROR_BREAK;
  }
  pthread_mutex_lock(&p->m);
  while (!p->broken) pthread_cond_wait(&p->c, &p->m);
  p->broken = 0;
  pthread_mutex_unlock(&p->m);
  return PCAP_ERROR_BREAK;
}

#ifndef FAKE_PCAP_WITHOUT_BREAKLOOP
void pcap_breakloop(pcap_t* p) {
  pthread_mutex_lock(&p->m);
  __atomic_store_n(&p->broken, 1, __ATOMIC_SEQ_CST);
  pthread_cond_signal(&p->c);
  pthread_mutex_unlock(&p->m);
}
#endif

int fake_closed = 0;
void pcap_close(pcap_t* p) {
  ++fake_closed;
  pthread_mutex_destroy(&p->m);
  pthread_cond_destroy(&p->c);
  free(p);
}

#ifdef FAKE_PCAP_TUNABLE
/* pcap_create ... pcap_activate: "eth-test" is refused at activation; the buffer size asked for is kept
 * in fake_buffer_size. pcap_stats answers with fake_stats. */
int fake_buffer_size = -1;
struct pcap_stat fake_stats = {0, 0, 0};
static char fake_error[PCAP_ERRBUF_SIZE];

pcap_t* pcap_create(const char* dev, char* err) {
  (void)err;
  pcap_t* p = pcap_open_live("lo-test", 65536, 0, 1000, err);
  --fake_open_live_calls_total; /* this one is not a call of the program's */
  p->buffer_size = strcmp(dev, "eth-test") == 0 ? -2 : 0;
  return p;
}
int pcap_set_snaplen(pcap_t* p, int n) { (void)p, (void)n; return 0; }
int pcap_set_promisc(pcap_t* p, int n) { return n == 0 && p ? 0 : -1; }
int pcap_set_timeout(pcap_t* p, int n) { (void)p, (void)n; return 0; }
int pcap_set_buffer_size(pcap_t* p, int n) {
  if (p->buffer_size != -2) p->buffer_size = n;
  return 0;
}
int pcap_activate(pcap_t* p) {
  if (p->buffer_size == -2) {
    strcpy(fake_error, "socket: Operation not permitted");
    return PCAP_ERROR_PERM_DENIED;
  }
  fake_buffer_size = p->buffer_size;
  return 0;
}
char* pcap_geterr(pcap_t* p) {
  (void)p;
  return fake_error;
}
const char* pcap_statustostr(int status) {
  return status == PCAP_ERROR_PERM_DENIED ? "You don't have permission to capture on that device" : "error";
}
int pcap_stats(pcap_t* p, struct pcap_stat* out) {
  (void)p;
  *out = fake_stats;
  return 0;
}
#endif

/* The baseline device for the benchmarks: the smallest useful UPnP device on
 * Debian's libupnp (pupnp). It publishes a given description file, serves it
 * and the documents beside it with libupnp's own web server, announces it and
 * answers searches until SIGINT or SIGTERM, then says ssdp:byebye.
 *
 *   qel_libupnp_device DESCRIPTION.xml WEB_DIR [INTERFACE] [PORT] [MAX_AGE]
 *
 * Prints "location=<URL of the description>" once the device is announced.
 * libupnp never serves on loopback: give it an interface of a namespace LAN
 * (a veth pair will do).
 * Actions and subscriptions are accepted and answered with libupnp's defaults
 * (no state variables): the baseline measures the library's discovery and
 * HTTP serving, nothing of ours.
 * With QEL_UDA_FIRST_DELAY=1 in the environment the device waits a random 0 to
 * 100 ms before its first announcement set, as UDA advises and the device host
 * does; libupnp itself announces at once. */
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>
#include <upnp.h>
#include <upnptools.h>

static volatile sig_atomic_t g_stop = 0;

static void OnSignal(int sig) {
  (void)sig;
  g_stop = 1;
}

static int OnEvent(Upnp_EventType type, const void* event, void* cookie) {
  (void)type;
  (void)event;
  (void)cookie;
  return 0;
}

int main(int argc, char** argv) {
  if (argc < 3 || strcmp(argv[1], "--help") == 0) {
    fprintf(stderr, "usage: %s DESCRIPTION.xml WEB_DIR [INTERFACE] [PORT] [MAX_AGE]\n", argv[0]);
    return argc < 3 ? 2 : 0;
  }
  const char* iface = argc > 3 && argv[3][0] ? argv[3] : NULL;
  const unsigned short port = argc > 4 ? (unsigned short)atoi(argv[4]) : 0;
  const int maxAge = argc > 5 ? atoi(argv[5]) : 1800;

  struct sigaction sa;
  memset(&sa, 0, sizeof sa);
  sa.sa_handler = OnSignal;
  sigaction(SIGINT, &sa, NULL);
  sigaction(SIGTERM, &sa, NULL);

  int rc = UpnpInit2(iface, port);
  if (rc != UPNP_E_SUCCESS) {
    fprintf(stderr, "UpnpInit2(%s): %s (%d)\n", iface ? iface : "first interface", UpnpGetErrorMessage(rc), rc);
    return 1;
  }
  rc = UpnpSetWebServerRootDir(argv[2]);
  if (rc != UPNP_E_SUCCESS) {
    fprintf(stderr, "UpnpSetWebServerRootDir(%s): %s (%d)\n", argv[2], UpnpGetErrorMessage(rc), rc);
    UpnpFinish();
    return 1;
  }
  UpnpDevice_Handle device = -1;
  rc = UpnpRegisterRootDevice2(UPNPREG_FILENAME_DESC, argv[1], 0, 1, OnEvent, NULL, &device);
  if (rc != UPNP_E_SUCCESS) {
    fprintf(stderr, "UpnpRegisterRootDevice2(%s): %s (%d)\n", argv[1], UpnpGetErrorMessage(rc), rc);
    UpnpFinish();
    return 1;
  }
  const char* udaDelay = getenv("QEL_UDA_FIRST_DELAY");
  if (udaDelay && strcmp(udaDelay, "1") == 0) {
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    srand((unsigned)(now.tv_nsec ^ getpid()));
    struct timespec wait = {0, (long)(rand() % 101) * 1000000L};
    nanosleep(&wait, NULL);
  }
  rc = UpnpSendAdvertisement(device, maxAge);
  if (rc != UPNP_E_SUCCESS) {
    fprintf(stderr, "UpnpSendAdvertisement: %s (%d)\n", UpnpGetErrorMessage(rc), rc);
    UpnpUnRegisterRootDevice(device);
    UpnpFinish();
    return 1;
  }
  /* libupnp serves the description under its own file name. */
  const char* name = strrchr(argv[1], '/');
  printf("location=http://%s:%u/%s\n", UpnpGetServerIpAddress(), (unsigned)UpnpGetServerPort(),
         name ? name + 1 : argv[1]);
  fflush(stdout);
  while (!g_stop) pause();
  UpnpUnRegisterRootDevice(device);
  UpnpFinish();
  return 0;
}

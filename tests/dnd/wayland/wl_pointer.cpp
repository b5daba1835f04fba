// wl_pointer: a mouse for tests under a Wayland compositor that offers the
// wlroots virtual-pointer protocol. It creates one pointer device and keeps
// it for as long as it runs, reading commands on stdin, one a line:
//   move X Y     pointer to X,Y (layout pixels; --extent gives the layout size)
//   down | up    left button pressed / released
//   pause MS     wait MS milliseconds before the next command
//   sync ID      once the compositor has handled everything before: "ok ID"
// stdout: "ready" once the device exists, then one "ok ID" per sync.
// Errors go to stderr and end the program with code 1; end of input ends it
// with 0, the button released if it was down.
#include <wayland-client.h>

#include "virtual-pointer-v1-client.h"

#include <linux/input-event-codes.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

namespace {

struct Globals {
  wl_seat* seat = nullptr;
  zwlr_virtual_pointer_manager_v1* manager = nullptr;
};

void onGlobal(void* data, wl_registry* registry, uint32_t name, const char* interface, uint32_t) {
  auto* globals = static_cast<Globals*>(data);
  if (std::strcmp(interface, wl_seat_interface.name) == 0 && !globals->seat)
    globals->seat = static_cast<wl_seat*>(wl_registry_bind(registry, name, &wl_seat_interface, 1));
  else if (std::strcmp(interface, zwlr_virtual_pointer_manager_v1_interface.name) == 0)
    globals->manager = static_cast<zwlr_virtual_pointer_manager_v1*>(
        wl_registry_bind(registry, name, &zwlr_virtual_pointer_manager_v1_interface, 1));
}
void onGlobalRemove(void*, wl_registry*, uint32_t) {}
const wl_registry_listener kRegistryListener = {onGlobal, onGlobalRemove};

uint32_t nowMs() {
  using namespace std::chrono;
  return static_cast<uint32_t>(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

int fail(const char* what) {
  std::fprintf(stderr, "wl_pointer: %s\n", what);
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  unsigned width = 1280, height = 1024;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--extent") == 0 && i + 1 < argc) {
      if (std::sscanf(argv[++i], "%ux%u", &width, &height) != 2 || width == 0 || height == 0)
        return fail("--extent wants WIDTHxHEIGHT");
    } else {
      std::fprintf(stderr, "usage: wl_pointer [--extent WIDTHxHEIGHT] < commands\n");
      return 2;
    }
  }
  wl_display* display = wl_display_connect(nullptr);
  if (!display) return fail("cannot connect to the Wayland display (is WAYLAND_DISPLAY set?)");
  Globals globals;
  wl_registry* registry = wl_display_get_registry(display);
  wl_registry_add_listener(registry, &kRegistryListener, &globals);
  if (wl_display_roundtrip(display) < 0) return fail("the compositor closed the connection");
  if (!globals.manager) return fail("the compositor offers no zwlr_virtual_pointer_manager_v1");
  zwlr_virtual_pointer_v1* pointer = zwlr_virtual_pointer_manager_v1_create_virtual_pointer(globals.manager, globals.seat);
  if (wl_display_roundtrip(display) < 0) return fail("the compositor refused the virtual pointer");
  std::printf("ready\n");
  std::fflush(stdout);

  bool down = false;
  char line[256];
  while (std::fgets(line, sizeof line, stdin)) {
    unsigned x = 0, y = 0;
    long ms = 0;
    char id[64] = "";
    if (std::sscanf(line, "move %u %u", &x, &y) == 2) {
      zwlr_virtual_pointer_v1_motion_absolute(pointer, nowMs(), x < width ? x : width - 1, y < height ? y : height - 1,
                                              width, height);
      zwlr_virtual_pointer_v1_frame(pointer);
    } else if (std::strncmp(line, "down", 4) == 0 || std::strncmp(line, "up", 2) == 0) {
      down = line[0] == 'd';
      zwlr_virtual_pointer_v1_button(pointer, nowMs(), BTN_LEFT,
                                     down ? WL_POINTER_BUTTON_STATE_PRESSED : WL_POINTER_BUTTON_STATE_RELEASED);
      zwlr_virtual_pointer_v1_frame(pointer);
    } else if (std::sscanf(line, "pause %ld", &ms) == 1 && ms >= 0 && ms <= 60000) {
      wl_display_flush(display);
      std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    } else if (std::sscanf(line, "sync %63s", id) == 1) {
      if (wl_display_roundtrip(display) < 0) return fail("the compositor closed the connection");
      std::printf("ok %s\n", id);
      std::fflush(stdout);
      continue;
    } else {
      std::fprintf(stderr, "wl_pointer: unknown command: %s", line);
      return 1;
    }
    if (wl_display_flush(display) < 0 && errno != EAGAIN) return fail("the compositor closed the connection");
  }
  if (down) {
    zwlr_virtual_pointer_v1_button(pointer, nowMs(), BTN_LEFT, WL_POINTER_BUTTON_STATE_RELEASED);
    zwlr_virtual_pointer_v1_frame(pointer);
  }
  zwlr_virtual_pointer_v1_destroy(pointer);
  wl_display_roundtrip(display);
  wl_display_disconnect(display);
  return 0;
}

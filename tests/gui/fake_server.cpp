// A stand-in server for the watchdog test: it does nothing until it is killed.
#include <unistd.h>

int main() {
  for (;;) ::pause();
}

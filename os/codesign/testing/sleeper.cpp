// A program that only waits, for tests that check running processes. Ends by itself after a minute.
#include <unistd.h>

int main() {
  ::alarm(60);
  for (;;) ::pause();
}

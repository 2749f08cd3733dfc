/* The least a waiting command can be: a static C program that sleeps in one
 * read of its standard input and ends when a byte arrives. The time from
 * that byte to its end, as its parent sees it, is the floor under any
 * command's wake latency on this machine: waking, leaving, and being
 * reaped. */
#include <unistd.h>

int main(void) {
  char c;
  return read(0, &c, 1) == 1 ? 0 : 1;
}

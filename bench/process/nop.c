/* The do-nothing program every command is held against: the least a process
 * can cost on this machine (built static, and once dynamic to show what the
 * dynamic loader adds). */
int main(void) {
  return 0;
}

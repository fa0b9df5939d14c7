// The `main` of vesk::harness_main: an executable that links it runs its registered cases with the
// default command line (--list, --filter, --exclude, --help, --listen=-) and writes no main.
#include <vesk/cases.hpp>
#include <vesk/vesk_harness.hpp>

int main(int argc, char** argv) {
  return vesk::casesMain(argc, argv);
}

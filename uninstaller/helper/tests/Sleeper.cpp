// A stand-in for the product's programs in kill tests: takes any arguments and waits to be ended.
#include <unistd.h>

int main() {
    for (;;) ::pause();
}

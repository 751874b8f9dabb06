// client.cc - placeholder until the client lands.
#include <stdio.h>

int main() {
    puts("-P --port   specify receive port");
    return 0;
}

// throttlecat.cc - placeholder until the copier lands.
#include <stdio.h>

int main(int argc, char **) {
    if (argc < 2) {
        fprintf(stderr, "Usage: a.out <pathname>\n");
        return 1;
    }
    return 0;
}

#include <cstdio>

#include "host/HostVersion.h"

int main() {
  std::printf("%s %s\n", brindlet::host::productName, brindlet::host::hostVersion());
  std::printf("The application model is not assembled yet: this build provides the libraries and their tests.\n");
  return 0;
}

// Stands in for the pack's interpreter where nothing but the pack and glibc is at hand: linked
// statically, it prints the answer the probe script prints on a healthy runtime.
#include <cstdio>

int main() {
  std::fputs("{\"python_version\": \"3.11.2\", \"torch\": \"1.13.0a0\", \"mps\": false}\n", stdout);
  return 0;
}

// The baseline for start-up: a C++ program that prints one line and does nothing else.
#include <iostream>

int main() {
  std::cout << "1.0\n";
  return 0;
}

#include <iostream>

int main() {
  std::cout << "Cannot run standalone. See velmo-brelkin(1) for details." << std::endl;
  return 1;
}

int main() { return 0; }  // placeholder until the service frame lands

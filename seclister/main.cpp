// seclister: lists the security packages the security support provider interface offers.

int main() { return 0; }

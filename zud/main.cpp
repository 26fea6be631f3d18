// zud: SAME weather-alert receiver to xPL gateway.
int main() { return 0; }

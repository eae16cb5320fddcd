// Placeholder entry point; the run sequence replaces it.
int main() { return 0; }

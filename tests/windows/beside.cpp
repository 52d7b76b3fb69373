// A DLL that lies beside the platform tests' exe and nowhere else: after the start-up,
// a load by name alone must not find it there.
extern "C" __declspec(dllexport) int ports_beside() { return 1; }

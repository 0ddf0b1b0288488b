/* A small module for the symbol tests and the benchmark: a call chain that ends in a routine that fails.
   Built twice, the second time with code added inside Fail, as a rebuild that moves code would. */
volatile int Sink;

__declspec(noinline) void Fail(int *Where) {
#ifdef CRASHY_SHIFT
    Sink += 7;
    Sink ^= 3;
    Sink *= 5;
#endif
    *Where = Sink;
}

__declspec(noinline) void Middle(int *Where) {
    Fail(Where);
    Sink++;
}

__declspec(noinline) __declspec(dllexport) void Entry(int *Where) {
    Middle(Where);
    Sink++;
}

__declspec(noinline) __declspec(dllexport) void Other(int *Where) {
    Sink--;
    Middle(Where);
    Sink += 2;
}

/* Named as the kernel's page-fault handler so that the tests can put a trap frame before a faulting one. */
__declspec(noinline) __declspec(dllexport) void KiPageFault(int *Where) {
    Sink--;
    Other(Where);
    Sink++;
}

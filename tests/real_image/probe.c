/* The smallest image the cross toolchain links with a CodeView record: one exported function, nothing
   from any library. Built at build time for the real-image identity test. */
__declspec(dllexport) int HesTolvaneProbe(int Value) {
    return Value * 3 + 1;
}

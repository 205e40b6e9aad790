// simguest is linked statically, where dlopen would need at run time the
// shared libraries of the very C library it was linked with (the linker warns
// so at every link). libfuse3 calls it only to load the modules a
// "-o modules=" mount option names, and simguest names none. The link sends
// its calls here instead (--wrap=dlopen, --wrap=dlerror): such a load fails
// with a plain message.
extern "C" {

void* __wrap_dlopen(const char*, int) { return nullptr; }

char* __wrap_dlerror() {
  static char text[] = "simguest is a static program: no FUSE modules";
  return text;
}

}  // extern "C"

// A library for the loader's tests, built several times into different directories; each
// build answers with the number of its place (PELORIN_PROBE_PLACE).
extern "C" __attribute__((visibility("default"))) int PelorinProbePlace() {
  return PELORIN_PROBE_PLACE;
}

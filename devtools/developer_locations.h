// The fixed locations of the developers' machines: the signing library whose presence turns
// developer mode on, the S-record export file, and the folders where the file chooser opens
// for a reload in developer mode and for the boot-up and loader C arrays.  The folders are
// not created; a machine without them simply lacks developer mode or its files.
#pragma once

// The signing library; loaded once at start-up, when it is there.
constexpr const char* kSignLibraryPath = "C:\\DV\\H8S\\PC\\KESP\\DEBUG\\KESP.DLL";
// Where an export ("!") writes the signed image as S-records.
constexpr const char* kExportFilePath = "C:\\DV\\H8S\\DUZEVAV\\RELEASE\\EXE\\ROVOD.A37";
// The chooser's folder for the first reload in developer mode (with its lower-case drive, as
// the window has always shown it), and for the boot-up ("K") and loader ("L") C arrays.
constexpr const char* kReleaseFolder = "c:\\DV\\H8S\\DUZEVAV\\RELEASE\\EXE";
constexpr const char* kBootupFolder = "C:\\DV\\H8S\\BOOTUP\\RELEASE\\EXE";
constexpr const char* kLoaderFolder = "C:\\DV\\H8S\\LOADER\\RELEASE\\EXE";

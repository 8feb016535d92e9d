// What the program's heap does with large blocks once they are freed.
#pragma once

namespace tabulon {

// Keeps the large blocks the program frees for the ones it asks for next, instead of giving
// each back to the system at once. A repair holds a workbook stream, a mended copy of it and a
// new file's streams in turn, each as large as the workbook; memory the system hands out anew
// is paid for page by page as it is first touched (several times a read of the same bytes on
// some machines), and memory kept is not. Called once, at the program's start. Does nothing
// where the heap offers no such choice.
void KeepFreedMemory();

// Gives the memory the heap keeps free back to the system: after each workbook, so that a
// program that goes on running, or on to small files, does not hold a large one's peak.
void GiveBackFreedMemory();

}  // namespace tabulon

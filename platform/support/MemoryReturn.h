#pragma once
// The C library keeps freed blocks in its heaps for the next allocation, and after the first
// freed block of megabytes it serves even blocks that large from the heaps. A host that makes
// and frees frame buffers, encoder planes and encoded frames at every session would then keep
// its largest moment's memory for good, spread over the heaps of its threads. From the call
// on, every block of 128 KiB or more is mapped on its own and goes back to the system when it
// is freed, and all threads share two heaps. Called once, at the start of the program, before
// it starts threads.
namespace brindlet::platform {

void returnLargeBlocksToTheSystem();

// Blocks under that size that a session freed lie between blocks still in use, where a heap
// cannot shrink past them, and their pages stay with the process. This hands every whole free
// page inside the heaps back to the system (they are mapped again when next used). It walks
// the heaps, a matter of milliseconds: for after a session has ended.
void giveBackFreePages();

}  // namespace brindlet::platform

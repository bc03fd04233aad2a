// Large anonymous memory blocks straight from the OS, for buffers that grow
// to many megabytes.
//
//   void* p = platform::map_pages(64 << 20);            // nullptr on failure
//   p = platform::remap_pages(p, 64 << 20, 128 << 20);  // nullptr: p still valid
//   platform::unmap_pages(p, 128 << 20);
//
// Growing a block remaps its pages instead of copying them. No huge pages are
// asked for here (see ask_for_large_pages below for the guarded way): they
// make filling faster on average, but where memory is fragmented the first
// fault can stall for a second while the kernel compacts, which is worse in a
// library call than the steady gain.
// Sizes are the caller's byte counts; rounding to whole pages happens inside.
//
//   platform::prepare_for_writing(target, n);  // then fill all n bytes
//
// prepare_for_writing() maps in, ahead of a copy that will write every byte,
// the whole pages inside [target, target + n), in one call rather than one
// fault per page. Pages already there are left as they are; it changes no
// byte and is only a hint (ranges of under 16 pages are left alone, the
// calls would cost more than the faults): a kernel older than 5.14 refuses
// it once, and from then on the pages are left to be faulted in by the
// writes themselves.
//
//   if (platform::free_large_page_bytes() >= 2 * n) {
//     platform::ask_for_large_pages(target, n, true);   // then fill it
//     ...
//     platform::ask_for_large_pages(target, n, false);  // once filled
//   }
//
// A large target filled with fresh 4 KiB pages spends most of its time on
// page bookkeeping (allocating, zeroing and listing each page, and freeing
// each again later), not on the bytes. ask_for_large_pages(.., true) asks
// the kernel to back the whole 2 MiB pages inside the range with single
// large pages; (.., false) takes the request back once the range is filled,
// so that the memory, when the allocator reuses it for other things, is
// never gathered into large pages behind its users' backs (pages already in
// place stay as they are). The bytes never change either way.
// free_large_page_bytes() is how much memory the kernel holds right now in
// free blocks of at least one large page, or 0 where asking would make no
// difference (large pages "always" or "never" on). Ask for no more than a
// part of it: when no free block is at hand, the kernel compacts memory to
// make one while the fault waits, and that can take long.
//
//   std::uint64_t room = platform::memory_headroom();
//
// memory_headroom() is how many more bytes this process can have before the
// system would refuse them or start killing processes: the smallest of the
// memory the kernel reports as available and what is left under the
// process's address-space and data limits and its control group's memory
// limit. It reads a few small files under /proc and /sys, so it is for
// occasional use, not for every allocation.
#pragma once

#include <cstddef>
#include <cstdint>

namespace batchaugmentor::platform {

void* map_pages(std::size_t bytes);
void* remap_pages(void* block, std::size_t old_bytes, std::size_t new_bytes);
void unmap_pages(void* block, std::size_t bytes);
void prepare_for_writing(void* target, std::size_t bytes);
inline constexpr std::size_t kLargePage = std::size_t{2} << 20;
std::uint64_t free_large_page_bytes();
void ask_for_large_pages(void* target, std::size_t bytes, bool wanted);
std::uint64_t memory_headroom();

}  // namespace batchaugmentor::platform

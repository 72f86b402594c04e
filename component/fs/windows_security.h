// Security descriptors of Windows files, judged by a pure function so that
// the judgement is tested on every platform. The Windows file system reads a
// file's descriptor from its handle and hands it here (FileStat::
// listed_access); nothing else of the component reads one.
#pragma once

#include <string_view>

#include "component/fs/file_system.h"

namespace bk {

// What the self-relative security descriptor `descriptor` (its owner and
// DACL, as GetKernelObjectSecurity returns them) grants parties other than
// `caller` (a SID in its binary form) and the machine's administrators
// (SYSTEM S-1-5-18, Administrators S-1-5-32-544):
//  - kOtherOwner when anyone else owns the entry, or no owner can be read;
//  - else kOtherWriter when the DACL is missing (everyone may do anything),
//    or when any ACE that allows access and applies to the entry itself (not
//    inherit-only) grants anyone else write or append (add a file or
//    folder), delete, delete a child, change of permissions or of owner, or
//    generic write or all access (OWNER RIGHTS stands for the owner). Deny
//    ACEs are not weighed against allows: a grant counts even where a deny
//    before it takes it back, so the answer errs towards distrust;
//  - else kOwnAndAdmin.
// A descriptor whose header or DACL cannot be parsed gives kOtherWriter.
ListedAccess JudgeSecurityDescriptor(std::string_view descriptor, std::string_view caller);

}  // namespace bk

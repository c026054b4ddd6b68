#pragma once

// Which branch names the system hands to git. A branch name is one that git itself accepts for a
// branch ("git check-ref-format --branch"): no leading hyphen (git would read an option), no revision
// syntax ("main~0", "main^0", "main@{0}", "a..b", ":", "?", "*", "["), no control character or space,
// no component starting with "." or ending in ".lock", no empty component, not "HEAD" nor "@". A name
// that passes can only mean the branch itself: never a commit that no branch holds.
//
// `is_branch_name` decides without git, so a selection is refused before anything runs; the inspector
// asks git the same question again (`GitRepoInspector::verify_branch`) and checks that an existing
// branch is a ref below refs/heads/ (or refs/remotes/ for a remote side). Pure; any thread.

#include <string_view>

namespace ambrel::git {

inline constexpr std::string_view kInvalidBranchSentence = "The branch name is not a valid git branch name.";
inline constexpr std::string_view kInvalidBaseSentence = "The base branch name is not a valid git branch name.";
inline constexpr std::string_view kInvalidNewBranchSentence = "The new branch name is not a valid git branch name.";
// The branch's name.
inline constexpr std::string_view kMissingBranchSentence = "The branch {} does not exist in the repository.";

namespace branch_name {

bool is_branch_name(std::string_view name) noexcept;

}  // namespace branch_name

}  // namespace ambrel::git

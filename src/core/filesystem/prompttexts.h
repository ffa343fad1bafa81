// The caption and check-box text of every question and notice of the file system.
#pragma once

inline constexpr char kPromptCaption[] = "Sepra便携版";
inline constexpr char kPromptRemember[] = "记住我的选择";

// Seeding and inspecting the local service's file-system state through its control
// endpoints (/test/fs/..., listed by `ostrel_localsvc --help`), so that tests get
// accounts, items and shares without the client, and can act as another client.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

#include "support/localservice.h"

// POSTs body to the control path (e.g. "/test/fs/item") and returns the JSON reply. A
// refused request fails the test and returns null.
nlohmann::json FsControl(LocalService& service, const std::string& path, const nlohmann::json& body);

// A new account ("<user>@localsvc.test", password "pw-<user>" unless given) with a
// valid token: {"userId", "token", "email", "nickName"}.
nlohmann::json FsAccount(LocalService& service, const std::string& user, const std::string& password = "");

// GET /test/fs/state: the number of held push polls and, for a user, the versions and
// every item the user owns.
nlohmann::json FsState(LocalService& service, const std::string& userId = "");

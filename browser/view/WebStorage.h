#pragma once
// Where pages keep what they store (localStorage, Web SQL databases, the application cache):
// the per-user data folder beside the cookie store, private to the user. Left unset, the
// engine turns localStorage off and writes its database index into the working directory,
// world-readable and naming every origin that stored anything.

namespace KEL {

// Sets the engine's storage paths and turns localStorage and Web SQL on. Before any page.
void setUpWebStorage();

} // namespace KEL

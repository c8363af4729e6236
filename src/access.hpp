// The node-password gate in front of every request.
#pragma once

// Compares a supplied password with the node's password. The time taken depends only on the
// lengths, never on where two texts of equal length differ.
bool password_equal(const char* supplied, const char* expected);

// Whether the request carries the node's password in the X-Bot-Password header, a bearer
// token or the query field "pwd"; always true for a node without a password.
bool access_granted();

// Returns when the request may proceed. Otherwise writes the 401 refusal and ends the
// process with status 0.
void check_access();

// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

class TfrmMainForm;

/// Test hook for the tests that start the program as a process: with
/// TRELVAN_TEST_REPORT naming a file, the program keeps in it, once its main
/// window exists, whether that window is visible ("visible" or "hidden"),
/// which modal window is open ("modal ClassName"; a message box adds "box"
/// and its text, line breaks as '|') and the paths of its list
/// ("item path"), one per line. Unset, nothing of this runs.
void keepTestReport(TfrmMainForm *window);

// The unit that a precompiled header of the tests is made with; it holds nothing itself.

# The writer and label escaper that the tools' metrics files share: its cases
# once, here, not per tool.
kivo_add_gtest(test_kivo_textfile PREFIX "textfile."
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/test_kivo_textfile.cpp
  LIBRARIES kivo_textfile kivo_test_support)

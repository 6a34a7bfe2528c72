# The Windows zip: sqn.dll with its import library libsqn.dll.a, the static
# libsqn.a, the header, and the embedding example as source and as
# sqn-render.exe (linked to the DLL), laid out as bin/, lib/, include/ and
# examples/, with the licence and those of the runtime linked in.
add_executable(sqn-render ${PROJECT_SOURCE_DIR}/examples/embed/render.c)
target_link_libraries(sqn-render PRIVATE sqn)
target_link_options(sqn-render PRIVATE -static)
install(TARGETS sqn sqn-render RUNTIME DESTINATION bin ARCHIVE DESTINATION lib)
install(TARGETS sqn_static ARCHIVE DESTINATION lib)
install(FILES ${PROJECT_SOURCE_DIR}/api/include/sqn/sqn.h DESTINATION include/sqn)
install(FILES ${PROJECT_SOURCE_DIR}/examples/embed/render.c DESTINATION examples)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/windows-readme.txt DESTINATION . RENAME README.txt)
install(FILES ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION . RENAME LICENSE.txt)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/windows-third-party.txt DESTINATION . RENAME THIRD-PARTY-LICENSES.txt)

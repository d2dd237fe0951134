# SPDX-License-Identifier: MIT
# The keyword reference made from the parameter tables at build time: the
# generator paramdoc, the man pages and the bash completion that carry it,
# the package's changelog, their installation, and the checks that
# docs/parameters.md is current, that the man pages are free of warnings
# and that the completion works.
add_library(orvexparamdoc STATIC ${CMAKE_SOURCE_DIR}/tool/paramdoc/ParamReference.cpp)
target_include_directories(orvexparamdoc PUBLIC ${CMAKE_SOURCE_DIR}/tool/paramdoc)
target_link_libraries(orvexparamdoc PUBLIC orvexparams)
add_executable(paramdoc ${CMAKE_SOURCE_DIR}/tool/paramdoc/main.cpp)
target_link_libraries(paramdoc PRIVATE orvexparamdoc)

# configure_file puts in the version; paramdoc then replaces the line
# @PARAMETER_REFERENCE@, which configure_file must leave alone.
set(PARAMETER_REFERENCE "@PARAMETER_REFERENCE@")
set(ZY_DOC_DIR ${CMAKE_BINARY_DIR}/doc)
configure_file(${CMAKE_SOURCE_DIR}/man/orvexconf.1.in ${ZY_DOC_DIR}/orvexconf.1.tmpl @ONLY)
configure_file(${CMAKE_SOURCE_DIR}/man/orvexsim.1.in ${ZY_DOC_DIR}/orvexsim.1 @ONLY)
configure_file(${CMAKE_SOURCE_DIR}/completion/orvexconf.bash.in
               ${ZY_DOC_DIR}/orvexconf.bash.tmpl @ONLY)
add_custom_command(OUTPUT ${ZY_DOC_DIR}/orvexconf.1
                   COMMAND paramdoc roff ${ZY_DOC_DIR}/orvexconf.1.tmpl ${ZY_DOC_DIR}/orvexconf.1
                   DEPENDS paramdoc ${ZY_DOC_DIR}/orvexconf.1.tmpl
                   COMMENT "Writing the man page with the keyword reference")
add_custom_command(OUTPUT ${ZY_DOC_DIR}/orvexconf.bash
                   COMMAND paramdoc keywords ${ZY_DOC_DIR}/orvexconf.bash.tmpl
                           ${ZY_DOC_DIR}/orvexconf.bash
                   DEPENDS paramdoc ${ZY_DOC_DIR}/orvexconf.bash.tmpl
                   COMMENT "Writing the bash completion with the keywords")
# Man pages and the changelog are installed compressed, as Debian's policy
# asks (gzip -n: no name or time in the file, so a build is reproducible).
configure_file(${CMAKE_SOURCE_DIR}/cmake/changelog.in ${ZY_DOC_DIR}/changelog @ONLY)
set(ZY_COMPRESSED_DOCS "")
foreach(doc orvexconf.1 orvexsim.1 changelog)
  add_custom_command(OUTPUT ${ZY_DOC_DIR}/${doc}.gz
                     COMMAND gzip -9nkf ${ZY_DOC_DIR}/${doc}
                     DEPENDS ${ZY_DOC_DIR}/${doc}
                     COMMENT "Compressing ${doc}")
  list(APPEND ZY_COMPRESSED_DOCS ${ZY_DOC_DIR}/${doc}.gz)
endforeach()
add_custom_target(orvexdocs ALL DEPENDS ${ZY_DOC_DIR}/orvexconf.1 ${ZY_DOC_DIR}/orvexconf.bash
                                        ${ZY_COMPRESSED_DOCS})
# cmake --build --preset default --target update-parameters-doc rewrites the
# checked-in reference after a change of the tables.
add_custom_target(update-parameters-doc
                  COMMAND paramdoc markdown > ${CMAKE_SOURCE_DIR}/docs/parameters.md
                  DEPENDS paramdoc VERBATIM)

install(FILES ${ZY_DOC_DIR}/orvexconf.1.gz ${ZY_DOC_DIR}/orvexsim.1.gz
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${ZY_DOC_DIR}/changelog.gz DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/orvexconf)
install(FILES ${ZY_DOC_DIR}/orvexconf.bash DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions
        RENAME orvexconf)
# The keyword reference the help names, beside the package's other documents.
install(FILES ${CMAKE_SOURCE_DIR}/docs/parameters.md ${CMAKE_SOURCE_DIR}/docs/report.schema.json DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/orvexconf)

if(ZY_TESTS)
  add_test(NAME parameters_doc_current
           COMMAND sh -c "\"$0\" markdown | diff -u \"$1\" - || { echo \"docs/parameters.md is out of date: build the target update-parameters-doc\"; exit 1; }"
                   $<TARGET_FILE:paramdoc> ${CMAKE_SOURCE_DIR}/docs/parameters.md)
  add_test(NAME man_pages_lint
           COMMAND ${CMAKE_SOURCE_DIR}/tests/tool/man_lint.sh ${ZY_DOC_DIR}/orvexconf.1
                   ${ZY_DOC_DIR}/orvexsim.1)
  add_test(NAME completion_test
           COMMAND bash ${CMAKE_SOURCE_DIR}/tests/tool/completion_test.sh ${ZY_DOC_DIR}/orvexconf.bash)
  set_tests_properties(parameters_doc_current man_pages_lint completion_test
                       PROPERTIES LABELS "unit;frontend" TIMEOUT 120)
  if(TARGET param_reference_test)
    target_link_libraries(param_reference_test PRIVATE orvexparamdoc)
  endif()
endif()

# The benchmark of runs without a controller edits the sample parameter file.
if(TARGET offline_run_bench)
  target_compile_definitions(offline_run_bench PRIVATE ORVEX_SOURCE_DIR="${CMAKE_SOURCE_DIR}")
endif()

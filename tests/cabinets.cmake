# Test cabinets of a sample host, made with gcab from the fake host program:
# VYAuto.exe (the fake installer) and a data file, once stored and once compressed.
find_program(GCAB gcab REQUIRED)
set(cab_stage ${CMAKE_BINARY_DIR}/cabstage)
set(cab_out ${CMAKE_BINARY_DIR}/cabinets)
add_custom_command(
  OUTPUT ${cab_out}/host.cab ${cab_out}/host-compressed.cab
  COMMAND ${CMAKE_COMMAND} -E make_directory ${cab_stage} ${cab_out}
  COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:fakehost> ${cab_stage}/VYAuto.exe
  COMMAND ${CMAKE_COMMAND} -E echo "Kestrune Ostrel sample host data" > ${cab_stage}/hostdata.txt
  COMMAND ${CMAKE_COMMAND} -E chdir ${cab_stage} ${GCAB} -c ${cab_out}/host.cab VYAuto.exe hostdata.txt
  COMMAND ${CMAKE_COMMAND} -E chdir ${cab_stage} ${GCAB} -c -z ${cab_out}/host-compressed.cab VYAuto.exe hostdata.txt
  DEPENDS fakehost
  COMMENT "Making the sample host cabinets")
add_custom_target(test_cabinets ALL DEPENDS ${cab_out}/host.cab ${cab_out}/host-compressed.cab)

# Writes upkpack's manual page with help2man from the tool's own --help texts,
# so that the page and the tool never disagree: the overview and the exit codes
# from "upkpack --help", the version from "upkpack --version", and a section
# COMMANDS with each command's --help as the tool prints it.
#   cmake -DUPKPACK=<tool> -DHELP2MAN=<help2man> -DOUTPUT=<page> -P manpage.cmake
set(include "[COMMANDS]\n")
foreach(command pack inspect extract log)
  execute_process(COMMAND ${UPKPACK} ${command} --help OUTPUT_VARIABLE help RESULT_VARIABLE result)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "upkpack ${command} --help failed (${result})")
  endif()
  # In roff a backslash is written \e, and a line must not begin with a dot or an apostrophe.
  string(REPLACE "\\" "\\e" help "${help}")
  string(REPLACE "\n." "\n\\&." help "${help}")
  string(REPLACE "\n'" "\n\\&'" help "${help}")
  string(APPEND include ".SS ${command}\n.nf\n${help}.fi\n")
endforeach()
file(WRITE "${OUTPUT}.include" "${include}")
execute_process(
  COMMAND ${HELP2MAN} --no-info --section=1 --include=${OUTPUT}.include
          "--name=packs, checks and unpacks UnPackFile upgrade packages, and reads their logs"
          --output=${OUTPUT} ${UPKPACK}
  RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "help2man failed (${result})")
endif()

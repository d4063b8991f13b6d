# Probes of the layers, configured only by scripts/check-layers (VELDRA_LAYER_PROBES): for every
# library and every project folder, one object target that links the library and includes one
# header of the folder. The script builds each and expects those of the layers below (and the
# library's own) to compile and every other one to fail on that include; the Qt-free libraries
# are also probed with a Qt header. The list of probes goes to <build>/layer_probes.txt.

# What each library sees besides its own folder: the layers below it that it links.
set(veldra_sees_text "")
set(veldra_sees_logging "")
set(veldra_sees_models text)
set(veldra_sees_input text logging)
set(veldra_sees_bart text logging)
set(veldra_sees_job input bart models text logging)
set(veldra_sees_train input bart models text logging)
set(veldra_sees_report job input bart models text logging)
set(veldra_sees_cli job train input bart models text logging)
set(veldra_sees_gui report job train input bart models text logging)
set(veldra_qt_free text logging models input bart job train)

# One header of each folder, included alone.
set(veldra_probe_header_text text/number_text.h)
set(veldra_probe_header_logging logging/severity.h)
set(veldra_probe_header_models models/model_folder.h)
set(veldra_probe_header_input input/spectra_table.h)
set(veldra_probe_header_bart bart/forest.h)
set(veldra_probe_header_job job/job_settings.h)
set(veldra_probe_header_train train/bart_sampler.h)
set(veldra_probe_header_report report/pair_chart.h)
set(veldra_probe_header_cli cli/console.h)
set(veldra_probe_header_gui gui/dialogs.h)
set(veldra_probe_header_tools tools/model_tree_generator.h)

set(veldra_probed text logging models input bart job train cli)
set(veldra_folders text logging models input bart job train cli tools)
if(VELDRA_WITH_GUI)
  list(APPEND veldra_probed report gui)
  list(APPEND veldra_folders report gui)
endif()

set(probe_dir ${CMAKE_BINARY_DIR}/layer_probes)
set(probe_list "")
function(veldra_probe library name text expected)
  set(source ${probe_dir}/${library}_uses_${name}.cpp)
  file(WRITE ${source} "${text}\nint veldra_layer_probe_${library}_${name} = 0;\n")
  add_library(probe_${library}_uses_${name} OBJECT EXCLUDE_FROM_ALL ${source})
  target_link_libraries(probe_${library}_uses_${name} PRIVATE ${library})
  set(probe_list "${probe_list}probe_${library}_uses_${name} ${expected} ${header}\n"
      PARENT_SCOPE)
endfunction()

foreach(library IN LISTS veldra_probed)
  foreach(folder IN LISTS veldra_folders)
    set(header ${veldra_probe_header_${folder}})
    if(folder STREQUAL library OR folder IN_LIST veldra_sees_${library})
      set(expected compiles)
    else()
      set(expected fails)
    endif()
    veldra_probe(${library} ${folder} "#include \"${header}\"" ${expected})
  endforeach()
  if(library IN_LIST veldra_qt_free)
    set(header QString)
    veldra_probe(${library} qt "#include <QString>" fails)
  endif()
endforeach()
file(WRITE ${CMAKE_BINARY_DIR}/layer_probes.txt "${probe_list}")

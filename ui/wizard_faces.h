// How the wizard shows itself: what the command line asks of its faces.
#ifndef OVN8_UI_WIZARD_FACES_H_
#define OVN8_UI_WIZARD_FACES_H_

struct WizardFaces {
  bool silent = false;      // installs at once into the proposed directory
  bool unattended = false;  // silent, and never a window or a box, whatever the display
  bool quiet = false;       // no per-file lines
  bool json = false;        // standard output is kept for the JSON the program prints at its end
};

#endif  // OVN8_UI_WIZARD_FACES_H_

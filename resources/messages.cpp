#include "resources/messages.h"

#include <algorithm>
#include <iterator>

// One entry per string-table id, sorted by id. A translator edits the texts only;
// the ids are fixed by the host and by the files other programs read.

namespace {

struct MessageEntry {
    unsigned id;
    const char* text;
};

const MessageEntry kMessages[] = {
    // Engine statuses: short messages.
    {2798, "WARNING - L'objet existe déjà."},
    {2799, "WARNING - Fonction non supportée."},
    {2800, "WARNING - Allocation mémoire partielle."},
    {2801, "WARNING - Fichier E/S sans buffer."},
    {2802, "WARNING - Taille du fichier incorrecte."},
    {2803, "WARNING - Rubrique numérique arrondie."},
    {2804, "WARNING - Rubrique tronquée."},
    {2805, "WARNING - La clé n'existe pas dans le fichier d'index."},
    {2806, "WARNING - Plus aucune clé."},
    {2807, "WARNING - Le fichier est vide."},
    {2808, "WARNING - L'enregistrement lu est rayé."},
    {2809, "code de retour de fonction sans erreur."},
    {2810, "ERREUR - Impossible d'écrire dans le fichier."},
    {2811, "ERREUR - Impossible de lire le fichier."},
    {2812, "ERREUR - Erreur d'allocation mémoire."},
    {2813, "ERREUR - Impossible de repositionner le pointeur de fichier."},
    {2814, "ERREUR - Le fichier n'existe pas."},
    {2815, "ERREUR - Fichier corrompu."},
    {2816, "ERREUR - Expression de clé incorrecte."},
    {2817, "ERREUR - Aucun identifiant disponible."},
    {2818, "ERREUR - Aucune page d'index n'a été chargée."},
    {2819, "ERREUR - La page d'index n'a pas été chargée."},
    {2820, "ERREUR - Echec lors de la fermeture du fichier."},
    {2821, "ERREUR - Commande invalide."},
    {2822, "ERREUR - Numéro de handle invalide."},
    {2823, "ERREUR - Nom de fichier invalide."},
    {2824, "ERREUR - Date invalide."},
    {2825, "ERREUR - Heure invalide."},
    {2826, "ERREUR - Le fichier n'est pas un fichier mémo."},
    {2828, "ERREUR - Version de dBase invalide."},
    {2835, "ERREUR - Taille de l'en-tête du fichier DBF invalide."},
    {2837, "ERREUR - Dernière date invalide."},
    {2839, "ERREUR - Le paramètre adresse est NULL."},
    {2840, "ERREUR - Type de clé invalide."},
    {2841, "ERREUR - Taille de clé invalide."},
    {2842, "ERREUR - Taille d'élément incorrecte."},
    {2843, "ERREUR - Page racine invalide."},
    {2844, "ERREUR - Le nombre maximum de clés par page est incorrect."},
    {2845, "ERREUR - Nombre de rubriques invalide."},
    {2846, "ERREUR - Nom de rubrique invalide."},
    {2847, "ERREUR - Taille de rubrique invalide."},
    {2848, "ERREUR - Paramètre de position décimale invalide."},
    {2849, "ERREUR - Type de rubrique invalide."},
    {2850, "ERREUR - Taille d'enregistrement invalide."},
    {2851, "ERREUR - Données incorrectes."},
    {2852, "ERREUR - Taille de la ligne du mémo invalide."},
    {2853, "ERREUR - Le flag MDX dans le fichier DBF est invalide."},
    {2854, "ERREUR - Fichier ouvert en lecture seule."},
    {2855, "ERREUR - Violation du blocage fichier."},
    {2856, "ERREUR - Dépassement de buffer."},
    {2857, "ERREUR - Le chemin n'existe pas."},
    {2858, "ERREUR - Accès au fichier refusé."},
    {2859, "ERREUR - Code d'accès invalide."},
    {2860, "ERREUR - Le fichier n'est pas verrouillé."},
    {2861, "ERREUR - La disquette a changé."},
    {2862, "ERREUR - Le nombre minimum de clés par page est incorrect."},
    {2863, "ERREUR - Certains fichiers sont ouverts."},
    {2864, "ERREUR - Impossible d'ouvrir le fichier."},
    {2865, "ERREUR - Echec du flush."},
    {2866, "ERREUR - Identifiant du tag invalide."},
    {2867, "ERREUR - La taille de la page dans les blocs est invalide."},
    {2868, "ERREUR - Nom du tag invalide."},
    {2869, "ERREUR - Additionneur de décalage invalide."},
    {2870, "ERREUR - Le nombre maximum d'éléments dans la table des index est invalide."},
    {2871, "ERREUR - La taille des éléments dans la table des index est invalide."},
    {2872, "ERREUR - Nombre de tags invalide."},
    {2873, "ERREUR - Les paramètres utilisés pour définir le format de la clé sont inconnus."},
    {2874, "ERREUR - Erreur de paramétrage inconnue."},
    {2875, "ERREUR - Tag en cours d'utilisation."},
    {2876, "ERREUR - Windows GlobalLock a échoué."},
    {2877, "ERREUR - La recherche Windows Task a échoué."},
};

}  // namespace

const char* qxdb_message_text(unsigned id) {
    auto it = std::lower_bound(std::begin(kMessages), std::end(kMessages), id,
                               [](const MessageEntry& e, unsigned v) { return e.id < v; });
    if (it == std::end(kMessages) || it->id != id) return nullptr;
    return it->text;
}
